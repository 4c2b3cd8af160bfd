#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
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

constexpr int kNoOrdinaryUser = 77;

// n points (x = i + fraction) joined in a chain of edges, each pair of edges a face.
std::vector<std::string> chainModel(int n, const std::string& fraction, const std::string& y, const std::string& z) {
    std::vector<std::string> l{"ROKU4", "POINT"};
    for (int i = 1; i <= n; ++i) append(l, point(i, std::to_string(i) + fraction, y, z));
    l.push_back("LINE0");
    for (int i = 1; i < n; ++i) append(l, edge(i, i + 1));
    l.push_back("FACE0");
    for (int i = 1; i + 1 < n; ++i) append(l, face(i % 13, {i, i + 1}));
    append(l, closingSections());
    return l;
}

// Runs body in a child process; its exit status, 0 when no expectation failed there.
int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        std::fflush(nullptr);
        _exit(code != 0 ? code : testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body as a user that permissions bind: as ourselves when we are not root, else as
// "nobody" (the folder given to them); kNoOrdinaryUser when there is no such user.
int asOrdinaryUser(const fs::path& folder, const std::function<void()>& body) {
    return inChild([&] {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody) return kNoOrdinaryUser;
            for (const auto& e : fs::recursive_directory_iterator(folder)) lchown(e.path().c_str(), nobody->pw_uid, nobody->pw_gid);
            if (chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) != 0 || setgroups(0, nullptr) != 0 ||
                setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                return kNoOrdinaryUser;
        }
        body();
        return 0;
    });
}

// In a child: a 128 KB tmpfs on `where`, in a mount namespace of its own (a user namespace
// too when we are not root). False where neither is allowed.
bool mountSmallTmpfs(const std::string& where) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWNS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
        auto put = [](const char* file, const std::string& text) {
            std::ofstream(file) << text;
        };
        put("/proc/self/setgroups", "deny");
        put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", where.c_str(), "tmpfs", 0, "size=128k") == 0;
}

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

    // An output that is a symbolic link to a file in the same folder stays one: the file
    // it points to is replaced.
    write("target.x", "old");
    fs::remove(path("tri.x"));
    fs::create_symlink(path("target.x"), path("tri.x"));
    ASSERT_NE(convert(path("tri.rok")), nullptr);
    EXPECT_TRUE(fs::is_symlink(path("tri.x")));
    EXPECT_EQ(readFile(path("target.x")), readFile(kGolden));
    EXPECT_EQ(files(), (std::vector<std::string>{"target.x", "tri.rok", "tri.x"}));

    // So does one that points nowhere yet: the file appears where it points.
    fs::remove(path("tri.x"));
    fs::create_symlink("new.x", path("tri.x"));
    ASSERT_NE(convert(path("tri.rok")), nullptr);
    EXPECT_TRUE(fs::is_symlink(path("tri.x")));
    EXPECT_EQ(readFile(path("new.x")), readFile(kGolden));
}

// An unpacked download may hold NAME.x as a link to any file the person can write: a link
// whose target lies in another folder is refused and nothing at all is written.
TEST_F(ConvertToXFile, LinksOutOfTheFolderAreNotWrittenThrough) {
    write("dl/tri.rok", lines(triangleLines(), "\r\n"));
    write("outside/victim.txt", "keep me");
    write("dl/sub/target.x", "keep me too");
    const struct {
        std::string target, written;  // where the link points; the file that must not appear or change
    } links[] = {
        {"../outside/victim.txt", "outside/victim.txt"},
        {path("outside/victim.txt"), "outside/victim.txt"},
        {"../outside/created.desktop", "outside/created.desktop"},
        {"sub/target.x", "dl/sub/target.x"},
        {"sub/../../outside/victim.txt", "outside/victim.txt"},
        {"hop.x", "outside/victim.txt"},  // through a second link in the folder
    };
    fs::create_symlink("../outside/victim.txt", path("dl/hop.x"));
    for (const auto& link : links) {
        const std::string kept = fs::exists(path(link.written)) ? readFile(path(link.written)) : "";
        fs::create_symlink(link.target, path("dl/tri.x"));
        const auto before = files();
        EXPECT_EQ(convert(path("dl/tri.rok")), nullptr) << link.target;
        EXPECT_EQ(messages_, (std::vector<std::string>{"'" + path("dl/tri.x") +
                                                       "' is a link to a file outside its folder; nothing was written.\r\n"}))
            << link.target;
        EXPECT_EQ(files(), before) << link.target;
        EXPECT_EQ(fs::exists(path(link.written)) ? readFile(path(link.written)) : "", kept) << link.target;
        fs::remove(path("dl/tri.x"));
    }
}

TEST_F(ConvertToXFile, OutputNameRules) {
    // Upper-case extension gives a lower-case ".x".
    write("UP.ROK", lines(triangleLines()));
    ASSERT_NE(convert(path("UP.ROK")), nullptr);
    EXPECT_EQ(std::string(convertedPath), path("UP.x"));
    EXPECT_TRUE(fs::exists(path("UP.x")));

    // Folders keep their names: ".rok" or ".x" in one neither picks the output nor stops
    // the conversion, and a file beside the folder is left alone.
    for (const std::string folder : {"proj.rok.d", "my.xfiles", "A.X"}) {
        write(folder + "/house.rok", lines(triangleLines()));
        write("proj.x", "unrelated");
        const char* result = convert(path(folder + "/house.rok"));
        ASSERT_NE(result, nullptr) << folder;
        EXPECT_EQ(std::string(result), path(folder + "/house.x"));
        EXPECT_EQ(readFile(path(folder + "/house.x")), readFile(kGolden));
        EXPECT_EQ(readFile(path("proj.x")), "unrelated");
    }

    // ".rok" found before ".ROK" even when it comes later.
    write("A.ROK.rok", lines(triangleLines()));
    ASSERT_NE(convert(path("A.ROK.rok")), nullptr);
    EXPECT_EQ(std::string(convertedPath), path("A.ROK.x"));
}

TEST_F(ConvertToXFile, PathsHoldingDotXAreReturnedUntouched) {
    for (const std::string name : {"model.x", "MODEL.X", "a.xyz.rok", "missing.x", "dir.rok/model.x"}) {
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

    // Only regular files are read; a FIFO or a device is refused before it is opened (a
    // FIFO's open would wait for a writer, /dev/zero would never end).
    fs::create_directories(path("folder.rok"));
    ASSERT_EQ(mkfifo(path("pipe.rok").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", path("zero.rok"));
    // The kernel's files pass for regular ones but are none: pagemap reads gigabytes.
    fs::create_symlink("/proc/self/pagemap", path("pagemap.rok"));
    alarm(60);
    for (const std::string name : {"folder.rok", "pipe.rok", "zero.rok", "pagemap.rok"}) {
        EXPECT_EQ(convert(path(name)), nullptr);
        EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path(name) + "' file for read.\r\n"}));
    }
    alarm(0);

    // The target name is taken by a folder.
    write("busy.rok", lines(triangleLines()));
    fs::create_directories(path("busy.x"));
    EXPECT_EQ(convert(path("busy.rok")), nullptr);
    EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("busy.x") + "' file for write.\r\n"}));

}

TEST_F(ConvertToXFile, UnwritableFolderOrTargetAsAnOrdinaryUser) {
    write("ro/m.rok", lines(triangleLines()));
    write("locked.rok", lines(triangleLines()));
    write("locked.x", "keep");
    const int result = asOrdinaryUser(dir_, [&] {
        fs::permissions(path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(convert(path("ro/m.rok")), nullptr);
        EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("ro/m.x") + "' file for write.\r\n"}));

        fs::permissions(path("locked.x"), fs::perms::owner_read);
        EXPECT_EQ(convert(path("locked.rok")), nullptr);
        EXPECT_EQ(messages_, (std::vector<std::string>{"Can't open '" + path("locked.x") + "' file for write.\r\n"}));
        EXPECT_EQ(readFile(path("locked.x")), "keep");
    });
    if (result == kNoOrdinaryUser) GTEST_SKIP() << "no unprivileged user to run as";
    EXPECT_EQ(result, 0);
}

TEST_F(ConvertToXFile, FailedWriteKeepsTheEarlierOutputAndLeavesNothing) {
    // A source whose output cannot fit: on a small full filesystem where one can be made,
    // and under a file size limit everywhere.
    const std::string source = lines(chainModel(1500, "", "1", "2"));
    ASSERT_LT(source.size(), 100000u);  // fits the filesystem, its output does not
    RokkakuModel model;
    ASSERT_TRUE(readText(source, model).ok);
    const rlim_t whole = writeText(model).size();
    // The size limit cuts the points' text (written while the rest is read) or the very end.
    for (bool tmpfs : {true, false})
        for (bool named : {false, true})
        for (rlim_t bytes : {rlim_t{4096}, whole - 10}) {
            if (tmpfs && bytes != 4096) continue;
            const std::string folder = std::string(tmpfs ? "tmpfs" : "limited") + (named ? "-named" : "") +
                                       std::to_string(bytes);
            fs::create_directories(path(folder));
            const int result = inChild([&] {
                if (tmpfs && !mountSmallTmpfs(path(folder))) return kNoOrdinaryUser;
                write(folder + "/m.rok", source);
                write(folder + "/m.x", "earlier output");
                if (!tmpfs) {
                    rlimit limit{bytes, bytes};
                    std::signal(SIGXFSZ, SIG_IGN);
                    setrlimit(RLIMIT_FSIZE, &limit);
                }
                useNamedTemporaryFiles(named);
                EXPECT_EQ(convert(path(folder + "/m.rok")), nullptr);
                EXPECT_EQ(messages_, (std::vector<std::string>{"Error while writing '" + path(folder + "/m.x") +
                                                               "' file.\n\r\n"}));
                EXPECT_TRUE(readFile(path(folder + "/m.x")) == "earlier output");
                std::vector<std::string> left;
                for (const auto& e : fs::directory_iterator(path(folder))) left.push_back(e.path().filename());
                std::sort(left.begin(), left.end());
                EXPECT_EQ(left, (std::vector<std::string>{"m.rok", "m.x"}));
                return 0;
            });
            if (result == kNoOrdinaryUser) continue;  // no tmpfs here
            EXPECT_EQ(result, 0) << folder;
        }
}

TEST_F(ConvertToXFile, KilledConversionLeavesTheFolderAsItWasOrTheNewOutputComplete) {
    // Big enough that a kill can land anywhere in reading, writing and renaming.
    write("m.rok", lines(chainModel(40000, ".5", "1", "2")));
    ASSERT_NE(convert(path("m.rok")), nullptr);
    const std::string complete = readFile(path("m.x"));

    auto convertInChild = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            _exit(convertToXFile(path("m.rok").c_str()) ? 0 : 1);
        }
        return pid;
    };
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = convertInChild();
    waitpid(pid, nullptr, 0);
    const auto whole = std::chrono::steady_clock::now() - start;

    for (bool named : {false, true}) {
        useNamedTemporaryFiles(named);
        for (int step = 0; step <= 16; ++step) {
            const bool earlier = step % 2 == 0;
            if (earlier)
                write("m.x", "earlier output");
            else
                fs::remove(path("m.x"));
            pid = convertInChild();
            std::this_thread::sleep_for(whole * step / 16);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            const std::string now = readFile(path("m.x"));
            EXPECT_TRUE(now == complete || now == (earlier ? "earlier output" : "")) << step;
            for (const std::string& f : files()) {
                if (f == "m.rok" || f == "m.x") continue;
                // Only a named temporary file can be left, and only where its owner was
                // killed while writing it, or between naming and renaming the unnamed one.
                EXPECT_TRUE(f.starts_with(".sollux-") && (named || readFile(path(f)) == complete)) << f;
            }
            // The next conversion into the folder removes what the killed one left.
            ASSERT_NE(convert(path("m.rok")), nullptr);
            EXPECT_EQ(files(), (std::vector<std::string>{"m.rok", "m.x"})) << step;
        }
    }
    useNamedTemporaryFiles(false);
}

TEST_F(ConvertToXFile, OnlyStaleTemporaryFilesOfOursAreRemoved) {
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stale = ".sollux-" + std::to_string(dead) + "-0.tmp";
    const std::string locked = ".sollux-" + std::to_string(dead) + "-1.tmp";
    const std::string running = ".sollux-" + std::to_string(getppid()) + "-0.tmp";
    for (const std::string& f : {stale, locked, running, std::string(".sollux-x-0.tmp"), std::string("keep.tmp")})
        write(f, "partial");
    // A conversion on another machine holds a lock on the file it writes.
    int held = open(path(locked).c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    write("m.rok", lines(triangleLines()));
    useNamedTemporaryFiles(true);
    ASSERT_NE(convert(path("m.rok")), nullptr);
    useNamedTemporaryFiles(false);
    close(held);
    auto left = files();
    EXPECT_EQ(std::count(left.begin(), left.end(), stale), 0);
    for (const std::string& f : {locked, running, std::string(".sollux-x-0.tmp"), std::string("keep.tmp")})
        EXPECT_EQ(std::count(left.begin(), left.end(), f), 1) << f;
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
    const std::vector<std::string> l = chainModel(30000, ".25", "-1.5", "3");
    write("big.rok", lines(l, "\r\n"));
    ASSERT_NE(convert(path("big.rok")), nullptr);
    const std::string x = readFile(path("big.x"));
    RokkakuModel model;
    auto r = readText(lines(l), model);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(x, writeText(model));
    EXPECT_NE(x.find("\n29999.25000000;1.50000000;3.00000000;,\n30000.25000000;1.50000000;3.00000000;;\n"), std::string::npos);
}
