// solluxviewer --export OUT MODEL: a model file, whole, saved as glTF 2.0 or .x text.
#pragma once

#include <string>
#include <vector>

// args: OUT MODEL. OUT ends in .glb, .gltf or .x. Returns 0 (and prints nothing but
// progress for big models), 1 with a message on standard error and no OUT when the model
// cannot be loaded or OUT cannot be written, 2 for a bad command line.
int runExport(const std::vector<std::string>& args);
