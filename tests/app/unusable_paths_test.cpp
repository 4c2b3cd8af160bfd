// Paths that name no usable file (missing, a folder, a FIFO, a device, one too long for a
// dialog) in every mode: refused at once, said so, and counted as a failure of the run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/command_line_modes.h"
#include "app/info_command.h"
#include "tests/viewer/viewer_harness.h"

using namespace harness;

namespace {

namespace fs = std::filesystem;

// Folder, FIFO and device beside each other; a stuck open would hang the test, so an
// alarm ends it instead.
struct Unusable {
    explicit Unusable(const TempFolder& folder) {
        fs::create_directories(folder.file("folder.x"));
        EXPECT_EQ(mkfifo(folder.file("fifo.x").c_str(), 0644), 0);
        fs::create_symlink("/dev/zero", folder.file("zero.x"));
        alarm(120);
    }
    ~Unusable() { alarm(0); }
    std::vector<std::string> names{"missing.x", "folder.x", "fifo.x", "zero.x"};
};

}  // namespace

TEST(UnusablePaths, ScriptedOpenAnswersThatNameNoFileMakeTheRunFail) {
    TempFolder folder;
    Unusable unusable(folder);
    for (const std::string& name : unusable.names) {
        std::string script = folder.write("open.txt", "answer open " + folder.file(name) + "\ncommand 2\nframes 2\n");
        ViewerOptions options;
        options.playPath = script;
        options.screenshotPath = folder.file("shot.png");
        winUseHeadless();
        winReset();
        testing::internal::CaptureStderr();
        EXPECT_EQ(runViewer(options), 1) << name;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Open: " + folder.file(name) + (name == "missing.x" ? " does not exist." : " is not a file.")),
                  std::string::npos)
            << err;
        EXPECT_TRUE(fs::exists(options.screenshotPath));
    }
}

TEST(UnusablePaths, ScriptsModelsAndInfoRefuseWhatIsNotARegularFile) {
    TempFolder folder;
    Unusable unusable(folder);
    for (const std::string& name : {std::string("fifo.x"), std::string("zero.x")}) {
        ViewerOptions options;
        options.playPath = folder.file(name);
        options.screenshotPath = folder.file("never.png");
        testing::internal::CaptureStderr();
        EXPECT_EQ(runViewer(options), 2);
        EXPECT_NE(testing::internal::GetCapturedStderr().find(name + ": the script is not a regular file"),
                  std::string::npos);
    }
    for (const std::string& name : unusable.names) {  // as the model to open
        ViewerOptions options;
        options.model = folder.file(name);
        options.screenshotPath = folder.file("shot.png");
        winUseHeadless();
        winReset();
        testing::internal::CaptureStderr();
        EXPECT_EQ(runViewer(options), 1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(reportTexts(), (std::vector<std::string>{"Loading " + folder.file(name) +
                                                           " failed.\nThe file was not found.\r\n"}));
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::vector<std::string> paths;
    for (const std::string& name : unusable.names) paths.push_back(folder.file(name));
    EXPECT_EQ(runInfo(paths), 1);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    for (const std::string name : {"folder.x", "fifo.x", "zero.x"})
        EXPECT_NE(out.find("'" + folder.file(name) + "' is not a regular file"), std::string::npos) << out;
}

TEST(UnusablePaths, APathTooLongForTheOpenDialogIsReported) {
    TempFolder folder;
    const std::string deep = folder.file(std::string(200, 'd'));
    fs::create_directories(deep);
    const std::string model = deep + "/" + std::string(60, 'm') + ".x";
    fs::copy_file(testData("scene/hierarchy.x"), model);
    size_t children = 0;
    runViewer({[&] {
                   winScriptOpenFile(model);
                   PostMessageA(window(), WM_COMMAND, 2, 0);
               },
               [&] { children = childCount(state()->scene); }});
    EXPECT_EQ(children, 2u);  // nothing was added
    EXPECT_EQ(reportTexts(), (std::vector<std::string>{"The chosen file's path is longer than 255 characters.\n\r\n"}));
}
