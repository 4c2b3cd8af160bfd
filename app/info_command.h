// solluxviewer --info FILE...: what the platform's loaders find in model files.
#pragma once

#include <string>
#include <vector>

// One block per file on standard output; 0 when every file loaded, 1 otherwise.
int runInfo(const std::vector<std::string>& files);
