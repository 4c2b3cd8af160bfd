#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "conversion/x_conversion.h"
#include "conversion_test_util.h"
#include "platform/win/headless.h"

using namespace convtest;
namespace fs = std::filesystem;

namespace {

class ConvertToXFile : public testing::Test {
protected:
    void SetUp() override {
        winUseHeadless();
        winReset();
        char pattern[] = "/tmp/sollux-conv-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const std::string& content) const {
        fs::create_directories((dir_ / name).parent_path());
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::recursive_directory_iterator(dir_)) out.push_back(e.path().lexically_relative(dir_).string());
        std::sort(out.begin(), out.end());
        return out;
    }
    // Runs a conversion, keeping what it said on standard output and in message boxes.
    const char* convert(const std::string& source) {
        winClearRecordedMessageBoxes();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const char* result = convertToXFile(source.c_str());
        std::fflush(stdout);
        trace_ = testing::internal::GetCapturedStdout();
        stderr_ = testing::internal::GetCapturedStderr();
        messages_.clear();
        for (const auto& box : winRecordedMessageBoxes()) messages_.push_back(box.text);
        return result;
    }

    fs::path dir_;
    std::string trace_;
    std::string stderr_;
    std::vector<std::string> messages_;
};

const std::string kGolden = SOLLUX_TEST_DATA "/conversion/triangle.x";

}  // namespace

TEST_F(ConvertToXFile, ConvertsBesideTheSource) {
    write("tri.rok", lines(triangleLines(), "\r\n"));
    const char* result = convert(path("tri.rok"));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result, convertedPath);
    EXPECT_EQ(std::string(result), path("tri.x"));
    EXPECT_EQ(readFile(path("tri.x")), readFile(kGolden));
    EXPECT_EQ(trace_, "START\nPOINT\nLINE0\nFACE0\nPALC0\nLIT00\nVIEW0\nLINE2\nEND\n");
    EXPECT_TRUE(stderr_.starts_with("0 233;233;233\n0 0.913725;0.913725;0.913725;1.0;;\n"));
    EXPECT_TRUE(messages_.empty());
    EXPECT_EQ(files(), (std::vector<std::string>{"tri.rok", "tri.x"}));
    // The Open dialogs pass the buffer back in: it is taken as it stands.
    EXPECT_EQ(convertToXFile(convertedPath), convertedPath);
    EXPECT_EQ(std::string(convertedPath), path("tri.x"));

    // Converting again replaces the earlier output, keeping its permissions.
    write("tri.x", "old");
    fs::permissions(path("tri.x"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    ASSERT_NE(convert(path("tri.rok")), nullptr);
    EXPECT_EQ(readFile(path("tri.x")), readFile(kGolden));
    EXPECT_EQ(fs::status(path("tri.x")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

    // An output that is a symbolic link stays one: the file it points to is replaced.
    write("real/target.x", "old");
    fs::remove(path("tri.x"));
    fs::create_symlink(path("real/target.x"), path("tri.x"));
    ASSERT_NE(convert(path("tri.rok")), nullptr);
    EXPECT_TRUE(fs::is_symlink(path("tri.x")));
    EXPECT_EQ(readFile(path("real/target.x")), readFile(kGolden));
    EXPECT_EQ(files(), (std::vector<std::string>{"real", "real/target.x", "tri.rok", "tri.x"}));
}

TEST_F(ConvertToXFile, OutputNameRules) {
    // Upper-case extension gives a lower-case ".x".
    write("UP.ROK", lines(triangleLines()));
    ASSERT_NE(convert(path("UP.ROK")), nullptr);
    EXPECT_EQ(std::string(convertedPath), path("UP.x"));
    EXPECT_TRUE(fs::exists(path("UP.x")));

    // ".rok" in a folder name is the first occurrence: the output lands beside the folder.
    write("set.rok/part.rok", lines(triangleLines()));
    ASSERT_NE(convert(path("set.rok/part.rok")), nullptr);
    EXPECT_EQ(std::string(convertedPath), path("set.x"));
    EXPECT_EQ(readFile(path("set.x")), readFile(kGolden));

    // ".rok" found before ".ROK" even when it comes later.
    write("A.ROK.rok", lines(triangleLines()));
    ASSERT_NE(convert(path("A.ROK.rok")), nullptr);
    EXPECT_EQ(std::string(convertedPath), path("A.ROK.x"));
}

TEST_F(ConvertToXFile, PathsHoldingDotXAreReturnedUntouched) {
    for (const std::string name : {"model.x", "MODEL.X", "dir.x/model.rok", "a.xyz.rok", "missing.x"}) {
        const char* result = convert(path(name));
        ASSERT_NE(result, nullptr) << name;
        EXPECT_EQ(std::string(result), path(name));
        EXPECT_TRUE(messages_.empty());
        EXPECT_EQ(trace_, "");
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(ConvertToXFile, FailedConversionKeepsTheEarlierOutput) {
    std::vector<std::string> bad{"ROKU4", "POINT"};
    append(bad, point(2, "0", "0", "0"));
    write("m.rok", lines(bad));
    write("m.x", "earlier output");
    EXPECT_EQ(convert(path("m.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"error in POINT at point No.(1!=0)\n\r\n"}));
    EXPECT_EQ(readFile(path("m.x")), "earlier output");
    EXPECT_EQ(files(), (std::vector<std::string>{"m.rok", "m.x"}));

    // No earlier output: none is left behind either.
    fs::remove(path("m.x"));
    EXPECT_EQ(convert(path("m.rok")), nullptr);
    EXPECT_EQ(files(), (std::vector<std::string>{"m.rok"}));
}

TEST_F(ConvertToXFile, RefusedPathsTouchNothing) {
    write("model.txt", "ROKU4\r");
    EXPECT_EQ(convert(path("model.txt")), nullptr);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "'" + path("model.txt") + "' is not a Rokkaku file: its name holds neither \".rok\" nor \".ROK\".\n\r\n");
    EXPECT_EQ(readFile(path("model.txt")), "ROKU4\r");
    EXPECT_EQ(files(), (std::vector<std::string>{"model.txt"}));

    // Mixed case is not a Rokkaku extension either.
    write("model.Rok", "ROKU4\r");
    EXPECT_EQ(convert(path("model.Rok")), nullptr);
    EXPECT_EQ(readFile(path("model.Rok")), "ROKU4\r");

    const std::string longPath = path(std::string(260, 'a') + ".rok");
    EXPECT_EQ(convert(longPath), nullptr);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(messages_[0].starts_with("The path is longer than 255 characters: '"));
    EXPECT_EQ(messages_[0].size(), 255u);
    EXPECT_TRUE(messages_[0].ends_with("aaa\r\n"));
    EXPECT_EQ(convertToXFile(nullptr), nullptr);

    // A file name as long as a name can be still converts (the temporary file has a short
    // name of its own).
    const std::string longest = std::string(251, 'n') + ".rok";
    write(longest, lines(triangleLines()));
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    const char* result = convert(longest);
    fs::current_path(previous);
    ASSERT_NE(result, nullptr) << (messages_.empty() ? "" : messages_[0]);
    EXPECT_EQ(readFile(path(std::string(251, 'n') + ".x")), readFile(kGolden));
}

TEST_F(ConvertToXFile, UnreadableSourceOrUnwritableTarget) {
    EXPECT_EQ(convert(path("none.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("none.rok") + "' file for read.\r\n"}));
    EXPECT_TRUE(files().empty());

    fs::create_directories(path("folder.rok"));
    EXPECT_EQ(convert(path("folder.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("folder.rok") + "' file for read.\r\n"}));

    // The target name is taken by a folder.
    write("busy.rok", lines(triangleLines()));
    fs::create_directories(path("busy.x"));
    EXPECT_EQ(convert(path("busy.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("busy.x") + "' file for write.\r\n"}));

    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    write("ro/m.rok", lines(triangleLines()));
    fs::permissions(path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(convert(path("ro/m.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("ro/m.x") + "' file for write.\r\n"}));
    fs::permissions(path("ro"), fs::perms::owner_all);

    write("locked.rok", lines(triangleLines()));
    write("locked.x", "keep");
    fs::permissions(path("locked.x"), fs::perms::owner_read);
    EXPECT_EQ(convert(path("locked.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("locked.x") + "' file for write.\r\n"}));
    EXPECT_EQ(readFile(path("locked.x")), "keep");
}

TEST_F(ConvertToXFile, WaitCursorIsShownAndRestored) {
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    write("c.rok", lines(triangleLines()));
    int cursorDuringReport = -1;
    winSetMessageBoxHook([&](const WinMessageBoxRecord&) {
        cursorDuringReport = winCurrentCursorId();
        return IDOK;
    });
    ASSERT_NE(convert(path("c.rok")), nullptr);
    EXPECT_EQ(winCurrentCursorId(), 32512);
    write("bad.rok", "ROKU4\rPOINT\r7\r");
    EXPECT_EQ(convert(path("bad.rok")), nullptr);
    EXPECT_EQ(cursorDuringReport, 32514);
    EXPECT_EQ(winCurrentCursorId(), 32512);
    winSetMessageBoxHook(nullptr);
}

TEST_F(ConvertToXFile, LargeModelRoundTripsThroughTheFile) {
    // Enough records to cross the reader's and writer's buffers several times.
    std::vector<std::string> l{"ROKU4", "POINT"};
    const int n = 30000;
    for (int i = 1; i <= n; ++i) append(l, point(i, std::to_string(i) + ".25", "-1.5", "3"));
    l.push_back("LINE0");
    for (int i = 1; i < n; ++i) append(l, edge(i, i + 1));
    l.push_back("FACE0");
    for (int i = 1; i + 1 < n; ++i) append(l, face(i % 13, {i, i + 1}));
    append(l, closingSections());
    write("big.rok", lines(l, "\r\n"));
    ASSERT_NE(convert(path("big.rok")), nullptr);
    const std::string x = readFile(path("big.x"));
    RokkakuModel model;
    auto r = readText(lines(l), model);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(x, writeText(model));
    EXPECT_NE(x.find("\n29999.25000000;1.50000000;3.00000000;,\n30000.25000000;1.50000000;3.00000000;;\n"), std::string::npos);
}
