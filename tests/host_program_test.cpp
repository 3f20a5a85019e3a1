// The mistvane host program: its exit statuses, what it prints, and finding the module at run time.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <functional>
#include <map>
#include <set>

#include "VostrelMistvane.h"
#include "test_bitmaps.h"
#include "file_fixture.h"
#include "test_files.h"

namespace {

struct HostRun {
    int exitStatus;
    std::string out;
    std::string err;
};

std::string Slurp(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::set<std::string> NamesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

class HostProgram : public FileFixture {
  protected:
    TestBitmap bmp = MakeBitmap({.width = 13, .height = 11});

    void SetUp() override { WriteFile(input, bmp.bytes); }

    HostRun Host(const std::string& arguments, const std::string& program = MISTVANE_HOST_PATH) {
        return Shell("'" + program + "' " + arguments);
    }
    // A shell command line, its last command's standard output and error captured.
    HostRun Shell(const std::string& commands) {
        std::string command = "{ " + commands + "; } >'" + (dir / "stdout") + "' 2>'" + (dir / "stderr") + "'";
        int status = std::system(command.c_str());
        HostRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(dir / "stdout"), Slurp(dir / "stderr")};
        fs::remove(dir / "stdout");
        fs::remove(dir / "stderr");
        return run;
    }
};

TEST_F(HostProgram, SilentOnSuccessUnlessVerbose) {
    HostRun run = Host(input + " " + output);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    HostRun verbose = Host("-v " + input + " " + output);
    EXPECT_EQ(verbose.exitStatus, 0);
    EXPECT_EQ(verbose.out, "mistvane: blurred '" + input + "' into '" + output + "'\n");
    EXPECT_EQ(verbose.err, "");
}

// Each failure is one line naming the file, quoted, and the cause, as coreutils words them.
TEST_F(HostProgram, FailuresNameTheFileAndTheCause) {
    HostRun missing = Host(dir / "missing.bmp " + output);
    EXPECT_EQ(missing.exitStatus, 2);
    EXPECT_EQ(missing.err, "mistvane: cannot open '" + dir / "missing.bmp" + "': No such file or directory\n");
    EXPECT_EQ(missing.out, "");
    HostRun directory = Host(dir.path() + " " + output);
    EXPECT_EQ(directory.err, "mistvane: cannot read '" + dir.path() + "': Is a directory\n");

    HostRun unwritable = Host(input + " '" + dir / "no dir/out.bmp'");
    EXPECT_EQ(unwritable.exitStatus, 4);
    EXPECT_EQ(unwritable.err, "mistvane: cannot write '" + dir / "no dir/out.bmp" + "': No such file or directory\n");
    HostRun full = Host(input + " /dev/full");
    EXPECT_EQ(full.err, "mistvane: cannot write '/dev/full': No space left on device\n");

    // Names that need more than single quotes.
    HostRun quoted = Host("\"it's.bmp\" " + output);
    EXPECT_EQ(quoted.err, "mistvane: cannot open \"it's.bmp\": No such file or directory\n");
    HostRun escaped = Host("\"$(printf 'new\\nline.bmp')\" " + output);
    EXPECT_EQ(escaped.err, "mistvane: cannot open 'new'$'\\n''line.bmp': No such file or directory\n");
    EXPECT_FALSE(Exists(output));
}

// A BMP the module does not read: its message, then what the file is and how to convert it.
TEST_F(HostProgram, RefusedFilesAreExplained) {
    std::vector<uint8_t> palette = bmp.bytes;
    Put16(palette, 28, 8);
    WriteFile(dir / "red.bmp", palette);
    HostRun paletted = Host(dir / "red.bmp " + output);
    EXPECT_EQ(paletted.exitStatus, 1);
    EXPECT_EQ(paletted.err, "Not a valid BMP file\nmistvane: '" + dir / "red.bmp" +
                                "' is an 8-bit palette BMP; only 24-bit uncompressed BMP is read (convert it with: "
                                "convert " + dir / "red.bmp" + " -type TrueColor bmp3:" + dir / "red24.bmp" + ")\n");

    std::vector<uint8_t> cut(bmp.bytes.begin(), bmp.bytes.begin() + bmp.pixelOffset + 4 * bmp.stride + 5);
    WriteFile(input, cut);
    HostRun shortFile = Host(input + " " + output);
    EXPECT_EQ(shortFile.err, "Not a valid BMP file\nmistvane: '" + input + "' ends after 4 of 11 rows\n");
    // The same cut through a pipe is only found at its end.
    HostRun piped = Shell("cat " + input + " | '" MISTVANE_HOST_PATH "' - " + output);
    EXPECT_EQ(piped.exitStatus, 2);
    EXPECT_EQ(piped.err, "mistvane: standard input ends before its last row\n");

    WriteFile(input, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13});
    HostRun png = Host(input + " " + output);
    EXPECT_NE(png.err.find("' is a PNG image, not a BMP; only 24-bit"), std::string::npos) << png.err;
    EXPECT_FALSE(Exists(output));
}

TEST_F(HostProgram, UsageErrorsAreOneLineAndAPointerToHelp) {
    const std::string tail = "Try 'mistvane --help'.\n";
    for (std::string arguments : {std::string(), input, input + " " + output + " extra", "--bogus " + input + " " + output,
                                  "-x " + input + " " + output, std::string("-j")}) {
        HostRun run = Host(arguments);
        EXPECT_EQ(run.exitStatus, 64) << arguments;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 2) << arguments << ": " << run.err;
        EXPECT_EQ(run.err.rfind("mistvane: ", 0), 0u) << run.err;
        EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), tail.size())), tail) << run.err;
    }
}

TEST_F(HostProgram, HelpAndVersion) {
    HostRun help = Host("--help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: mistvane", 0), 0u);
    EXPECT_NE(help.out.find("-o DIR INPUT..."), std::string::npos);
    EXPECT_EQ(Host("-h").out, help.out);
    HostRun version = Host("--version");
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out.rfind("mistvane (VostrelMistvane) 1.0.0.1\nCopyright (C) 2026 The VostrelMistvane developers\n"
                                "License MIT: ", 0), 0u) << version.out;
}

TEST_F(HostProgram, PathsAfterDoubleDashMayStartWithADash) {
    fs::copy_file(input, dir / "-in.bmp");
    HostRun run = Host("-- " + dir / "-in.bmp " + output);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

TEST_F(HostProgram, FindsTheModuleBesideItOrInAnInstalledTree) {
    fs::path host = MISTVANE_HOST_PATH;
    fs::path module = host.parent_path() / "libVostrelMistvane.so.1";
    fs::create_directories(dir / "alone");
    fs::copy_file(host, dir / "alone/mistvane");
    HostRun alone = Host(input + " " + output, dir / "alone/mistvane");
    EXPECT_EQ(alone.exitStatus, 69);
    EXPECT_NE(alone.err.find("libVostrelMistvane.so.1"), std::string::npos) << alone.err;
    EXPECT_FALSE(Exists(output));

    fs::path libdir = dir / "prefix/" MISTVANE_INSTALL_LIBDIR;
    fs::create_directories(dir / "prefix/bin");
    fs::create_directories(libdir);
    fs::copy_file(host, dir / "prefix/bin/mistvane");
    fs::copy_file(module, libdir / "libVostrelMistvane.so.1");
    HostRun installed = Host(input + " " + output, dir / "prefix/bin/mistvane");
    EXPECT_EQ(installed.exitStatus, 0) << installed.err;
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

TEST_F(HostProgram, DashReadsStandardInputAndWritesStandardOutput) {
    // Nothing but the image on standard output: the outcome line goes to standard error.
    HostRun piped = Host("-v - - <" + input + " | cat >" + output);
    EXPECT_EQ(piped.exitStatus, 0) << piped.err;
    EXPECT_EQ(piped.err, "mistvane: blurred standard input into standard output\n");
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    HostRun named = Host("--verbose " + input + " /dev/stdout | cat >" + output);
    EXPECT_EQ(named.exitStatus, 0) << named.err;
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
    EXPECT_NE(named.err.find("blurred"), std::string::npos);
    // A file opened for appending is written where it stands, not replaced.
    WriteFile(output, {7, 7});
    EXPECT_EQ(Host("-q " + input + " - >>" + output).exitStatus, 0);
    std::vector<uint8_t> appended = {7, 7};
    for (uint8_t b : ExpectedOutput(bmp)) appended.push_back(b);
    EXPECT_EQ(ReadFile(output), appended);
}

TEST_F(HostProgram, DashFailures) {
    // An input that ends early on a pipe: status 2, and a file output is not created.
    HostRun cut = Shell("head -c 300 " + input + " | '" MISTVANE_HOST_PATH "' - " + output);
    EXPECT_EQ(cut.exitStatus, 2);
    EXPECT_EQ(cut.err, "mistvane: standard input ends before its last row\n");
    EXPECT_FALSE(Exists(output));
    // Standard output that cannot take the image.
    HostRun full = Host(input + " - >/dev/full");
    EXPECT_EQ(full.exitStatus, 4);
    EXPECT_EQ(full.err, "mistvane: cannot write standard output: No space left on device\n");
}

// Never an image to or from a terminal, however it is named. script(1) gives the program one, and copies what was
// written there into the typescript.
TEST_F(HostProgram, NoImageToOrFromATerminal) {
    auto onTerminal = [&](const std::string& commands) {
        std::string command = "script -qec \"" + commands + "; echo exit=\\$?\" " + dir / "typescript" + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return Slurp(dir / "typescript");
    };
    const std::string host = "'" MISTVANE_HOST_PATH "' ";
    for (std::string arguments : {input + " -", input + " /dev/stdout", input + " /dev/tty", input + " \\$(tty)"}) {
        std::string screen = onTerminal(host + arguments);
        EXPECT_NE(screen.find("refusing to write an image to"), std::string::npos) << arguments << ": " << screen;
        EXPECT_NE(screen.find("exit=64"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("BM"), std::string::npos) << screen;
    }
    std::string reading = onTerminal(host + "- " + output);
    EXPECT_NE(reading.find("refusing to read an image from a terminal; redirect standard input"), std::string::npos) << reading;
    EXPECT_NE(reading.find("exit=64"), std::string::npos) << reading;
    EXPECT_FALSE(Exists(output));
    // In a batch, an output that leads to the terminal is a failed file; the others are written.
    fs::create_directories(dir / "out");
    fs::create_symlink("/dev/tty", dir / "out/in.bmp");
    WriteFile(dir / "other.bmp", bmp.bytes);
    std::string batch = onTerminal(host + "-q -o " + dir / "out " + input + " " + dir / "other.bmp");
    EXPECT_NE(batch.find("mistvane: refusing to write an image to the terminal '" + dir / "out/in.bmp'"), std::string::npos)
        << batch;
    EXPECT_NE(batch.find("exit=4"), std::string::npos) << batch;
    EXPECT_EQ(batch.find("BM"), std::string::npos) << batch;
    EXPECT_EQ(ReadFile(dir / "out/other.bmp"), ExpectedOutput(bmp));
}

// An output that is a link to nothing is refused and left as it is, as cp refuses to write through one.
TEST_F(HostProgram, NoWritingThroughADanglingLink) {
    fs::create_symlink("nowhere/new.bmp", output);
    HostRun run = Host(input + " " + output);
    EXPECT_EQ(run.exitStatus, 4);
    EXPECT_EQ(run.err, "mistvane: not writing through dangling symlink '" + output + "'\n");
    EXPECT_EQ(fs::read_symlink(output), "nowhere/new.bmp");
    fs::create_directories(dir / "nowhere");
    fs::remove(output);
    fs::create_symlink("nowhere/new.bmp", output);
    EXPECT_EQ(Host(input + " " + output).exitStatus, 4);
    EXPECT_EQ(NamesIn(dir / "nowhere"), std::set<std::string>{});
    EXPECT_TRUE(fs::is_symlink(output));
}

// Standard input is read from descriptor 0 as it stands, not opened again by name: a socket, which cannot be opened
// through /dev/stdin, and a file the shell opened, read from where it was left.
TEST_F(HostProgram, DashReadsTheDescriptorAsItStands) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(ends[1], STDIN_FILENO);
        close(ends[0]);
        close(ends[1]);
        execl(MISTVANE_HOST_PATH, "mistvane", "-", output.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    EXPECT_EQ(write(ends[0], bmp.bytes.data(), bmp.bytes.size()), static_cast<ssize_t>(bmp.bytes.size()));
    shutdown(ends[0], SHUT_WR);
    int status = 0;
    waitpid(child, &status, 0);
    close(ends[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));

    std::vector<uint8_t> two = bmp.bytes;
    two.insert(two.begin(), 374, 'x');
    WriteFile(dir / "two.bin", two);
    fs::remove(output);
    HostRun positioned = Shell("{ head -c 374 >/dev/null; '" MISTVANE_HOST_PATH "' - " + output + "; } <" + dir / "two.bin");
    EXPECT_EQ(positioned.exitStatus, 0) << positioned.err;
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

// A standard stream the program was started without is an error at once, not a wait on a pipe of its own that
// landed on descriptor 0.
TEST_F(HostProgram, ClosedStandardStreamsFailAtOnce) {
    HostRun noInput = Shell("timeout 10 '" MISTVANE_HOST_PATH "' - - <&-");
    EXPECT_EQ(noInput.exitStatus, 2);
    EXPECT_EQ(noInput.err, "mistvane: cannot read standard input: Bad file descriptor\n");
    EXPECT_EQ(noInput.out, "");
    HostRun noOutput = Shell("timeout 10 '" MISTVANE_HOST_PATH "' " + input + " - >&-");
    EXPECT_EQ(noOutput.exitStatus, 4);
    EXPECT_EQ(noOutput.err, "mistvane: cannot write standard output: Bad file descriptor\n");
    // A closed standard error only loses the messages.
    HostRun noError = Shell("timeout 10 '" MISTVANE_HOST_PATH "' " + input + " " + output + " 2>&-");
    EXPECT_EQ(noError.exitStatus, 0);
    EXPECT_EQ(ReadFile(output), ExpectedOutput(bmp));
}

class HostBatch : public HostProgram {
  protected:
    std::string out = dir / "blurred";
    TestBitmap other = MakeBitmap({.width = 22, .height = 5}, 2);
    void SetUp() override {
        HostProgram::SetUp();
        WriteFile(dir / "other.bmp", other.bytes);
        std::vector<uint8_t> broken = bmp.bytes;
        broken[1] = 'X';
        WriteFile(dir / "broken.bmp", broken);
    }
};

TEST_F(HostBatch, WritesEachInputUnderItsOwnNameInANewDirectory) {
    HostRun run = Host("-o " + out + " " + input + " " + dir / "other.bmp");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "") << "no progress line when standard error is not a terminal";
    EXPECT_EQ(ReadFile(out + "/in.bmp"), ExpectedOutput(bmp));
    EXPECT_EQ(ReadFile(out + "/other.bmp"), ExpectedOutput(other));
}

TEST_F(HostBatch, GoesOnPastFailuresAndExitsWithTheFirst) {
    HostRun run = Host("-v --output-dir " + out + " " + dir / "broken.bmp " + input + " " + dir / "missing.bmp " + dir / "other.bmp");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.out.find("mistvane: blurred '" + input + "' into '" + out + "/in.bmp'\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("mistvane: blurred 2 of 4 files into '" + out + "', 2 failed\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("broken.bmp' is not a BMP file"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("cannot open '" + dir / "missing.bmp'"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(out + "/other.bmp"), ExpectedOutput(other));
    EXPECT_FALSE(Exists(out + "/broken.bmp"));
    EXPECT_FALSE(Exists(out + "/missing.bmp"));

    HostRun missingFirst = Host("-o " + out + " " + dir / "missing.bmp " + dir / "broken.bmp");
    EXPECT_EQ(missingFirst.exitStatus, 2);
    EXPECT_EQ(missingFirst.out, "");
    EXPECT_NE(missingFirst.err.find("mistvane: 2 of 2 files failed\n"), std::string::npos) << missingFirst.err;
}

TEST_F(HostBatch, UnwritableDirectoryFailsEveryFile) {
    WriteFile(dir / "plain-file", {1});
    HostRun run = Host("-o " + dir / "plain-file " + input + " " + dir / "other.bmp");
    EXPECT_EQ(run.exitStatus, 4);
    EXPECT_NE(run.err.find("cannot write '" + dir / "plain-file/in.bmp" + "': Not a directory"), std::string::npos) << run.err;
}

// A batch never writes a file onto itself; the other files go on.
TEST_F(HostBatch, RefusesToWriteAFileOntoItself) {
    fs::create_directories(dir / "sub");
    WriteFile(dir / "sub/third.bmp", other.bytes);
    HostRun run = Shell("cd '" + dir.path() + "' && '" MISTVANE_HOST_PATH "' -o . in.bmp sub/third.bmp");
    EXPECT_EQ(run.exitStatus, 4);
    EXPECT_EQ(run.err, "mistvane: 'in.bmp' and './in.bmp' are the same file\nmistvane: 1 of 2 files failed\n");
    EXPECT_EQ(ReadFile(input), bmp.bytes);
    EXPECT_EQ(ReadFile(dir / "third.bmp"), ExpectedOutput(other)) << "the file that is not its own output";
}

// A file name is bytes: one that is not UTF-8 is blurred under exactly that name, and quoted as coreutils quotes it.
TEST_F(HostBatch, NamesThatAreNotUtf8) {
    const std::string latin1 = "caf\xE9.bmp", mixed = "x\xC3\xA9\xED\xA0\x80\xFF.bmp";  // é, a UTF-8 surrogate, 0xFF
    WriteFile(dir / latin1, bmp.bytes);
    WriteFile(dir / mixed, other.bytes);
    HostRun run = Host("-j 2 -o " + out + " " + dir / latin1 + " '" + dir / mixed + "' " + dir / "caf\xE9-missing.bmp");
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(ReadFile(out + "/" + latin1), ExpectedOutput(bmp));
    EXPECT_EQ(ReadFile(out + "/" + mixed), ExpectedOutput(other));
    EXPECT_EQ(NamesIn(out), (std::set<std::string>{latin1, mixed}));
    EXPECT_NE(run.err.find("mistvane: cannot open '" + dir / "caf'$'\\351''-missing.bmp': No such file"), std::string::npos)
        << run.err;
    HostRun one = Host("-v '" + dir / mixed + "' " + output);
    EXPECT_EQ(one.exitStatus, 0) << one.err;
    EXPECT_EQ(one.out, "mistvane: blurred '" + dir / "x\xC3\xA9'$'\\355\\240\\200\\377''.bmp' into '" + output + "'\n");
}

TEST_F(HostBatch, UsageErrors) {
    fs::create_directories(dir / "sub");
    fs::copy_file(input, dir / "sub/in.bmp");
    for (std::string arguments : {"-o " + out, std::string("-o"), "-o " + out + " " + input + " " + dir / "sub/in.bmp"}) {
        HostRun run = Host(arguments);
        EXPECT_EQ(run.exitStatus, 64) << arguments;
        EXPECT_NE(run.err.find("Try 'mistvane --help'."), std::string::npos) << arguments;
    }
    EXPECT_FALSE(Exists(out));
}

TEST_F(HostBatch, ParallelJobsGiveTheSequentialResult) {
    std::vector<std::string> names;
    std::string arguments;
    for (int k = 0; k < 7; ++k) {
        names.push_back("f" + std::to_string(k) + ".bmp");
        WriteFile(dir / names.back(), MakeBitmap({.width = 40 + 9 * k, .height = 31 - 3 * k}, 10 + k).bytes);
        arguments += " " + dir / names.back();
    }
    arguments += " " + dir / "broken.bmp " + dir / "missing.bmp";
    HostRun sequential = Host("-j 1 -o " + dir / "one" + arguments);
    for (std::string jobs : {"-j 3", "--jobs=2", "-j9", "--jobs 4", ""}) {
        std::string into = dir / "many";
        HostRun run = Host(jobs + " -o " + into + arguments);
        EXPECT_EQ(run.exitStatus, 1) << jobs;
        EXPECT_EQ(run.out, "") << jobs;
        EXPECT_NE(run.err.find("cannot open '" + dir / "missing.bmp"), std::string::npos) << run.err;
        for (const std::string& name : names)
            EXPECT_EQ(ReadFile(into + "/" + name), ReadFile(dir / "one/" + name)) << jobs << " " << name;
        fs::remove_all(into);
    }
    EXPECT_EQ(sequential.exitStatus, 1);
    EXPECT_EQ(ReadFile(dir / "one/f3.bmp"), ExpectedOutput(ReadFile(dir / "f3.bmp")));
    for (std::string jobs : {"-j 0", "-j", "--jobs=x", "-j -1"}) {
        HostRun run = Host(jobs + " -o " + out + " " + input);
        EXPECT_EQ(run.exitStatus, 64) << jobs;
    }
}

TEST_F(HostBatch, ExitStatusIsTheFirstFailureInInputOrder) {
    // The first input fails last: a pipe that ends early, fed after the second input has long failed.
    std::string fifo = dir / "slow";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HostRun run = Shell("(sleep 0.3; head -c 300 " + input + " >" + fifo + ") & '" MISTVANE_HOST_PATH "' -j 2 -o " +
                        out + " " + fifo + " " + dir / "broken.bmp " + input);
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_LT(run.err.find("broken.bmp' is not"), run.err.find("'" + fifo + "' ends before its last row")) << run.err;
    EXPECT_EQ(ReadFile(out + "/in.bmp"), ExpectedOutput(bmp));
}

TEST_F(HostBatch, AnInputThatIsAnotherFilesOutputKeepsTheGivenOrder) {
    // link.bmp names what in.bmp is written to: read after that write, as one call after another would.
    fs::create_directories(out);
    WriteFile(out + "/in.bmp", other.bytes);
    fs::create_symlink(out + "/in.bmp", dir / "link.bmp");
    HostRun run = Host("-j 2 -o " + out + " " + input + " " + dir / "link.bmp");
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(ReadFile(out + "/link.bmp"), ExpectedOutput(ExpectedOutput(bmp)));
}

// Files that share a file are blurred in the order given, so that -j 2 gives what -j 1 gives: two outputs that are
// one file through a hard link or a symbolic link between them, and an input that is a link to another input's
// output not written yet. The first input is the larger, so that run side by side it would finish last.
TEST_F(HostBatch, FilesSharingAFileGiveWhatOneJobGives) {
    const std::string root = dir / "case", into = root + "/out";
    TestBitmap large = MakeBitmap({.width = 600, .height = 400}, 3);
    struct Case {
        const char* what;
        std::function<void()> setUp;
    };
    const Case cases[] = {
        {"outputs hard-linked", [&] {
             WriteFile(into + "/x.bmp", other.bytes);
             fs::create_hard_link(into + "/x.bmp", into + "/y.bmp");
         }},
        {"one output a link to the other, not there yet", [&] { fs::create_symlink("x.bmp", into + "/y.bmp"); }},
        {"an input a link to the other's output, not there yet", [&] { fs::create_symlink("out/x.bmp", root + "/y.bmp"); }},
    };
    // What a run leaves: its exit status, and each output's bytes or where it links to.
    auto runWith = [&](const Case& test, const std::string& jobs) {
        fs::remove_all(root);
        fs::create_directories(into);
        WriteFile(root + "/x.bmp", large.bytes);
        test.setUp();
        if (!Exists(root + "/y.bmp")) WriteFile(root + "/y.bmp", bmp.bytes);
        HostRun run = Host(jobs + " -o " + into + " " + root + "/x.bmp " + root + "/y.bmp");
        std::map<std::string, std::string> left{{"exit", std::to_string(run.exitStatus)}};
        for (const std::string& name : NamesIn(into))
            left[name] = fs::is_symlink(into + "/" + name) ? "-> " + fs::read_symlink(into + "/" + name).string()
                                                           : Slurp(into + "/" + name);
        return left;
    };
    for (const Case& test : cases) {
        std::map<std::string, std::string> oneJob = runWith(test, "-j 1");
        for (int run = 0; run < 3; ++run) EXPECT_TRUE(runWith(test, "-j 2") == oneJob) << test.what << ", run " << run;
    }
}

TEST_F(HostBatch, ShowsProgressOnATerminalWithEveryMessageOnALineOfItsOwn) {
    // script(1) gives the program a terminal and copies what it wrote there into the typescript.
    std::string command = "script -qec \"'" + std::string(MISTVANE_HOST_PATH) + "' -j 2 -o " + out + " " + input +
                          " " + dir / "broken.bmp " + dir / "other.bmp" + "; exit 0\" " + dir / "typescript" + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string screen = Slurp(dir / "typescript");
    EXPECT_NE(screen.find("[1/3] " + input), std::string::npos) << screen;
    EXPECT_NE(screen.find("[3/3] " + dir / "other.bmp"), std::string::npos) << screen;
    // Each message starts where the progress line was cleared, and ends its own line.
    for (std::string message : {std::string("Not a valid BMP file"), "mistvane: '" + dir / "broken.bmp' is not a BMP"}) {
        size_t at = screen.find(message);
        ASSERT_NE(at, std::string::npos) << screen;
        EXPECT_EQ(screen.substr(at - 4, 4), "\r\033[K") << message << " in " << screen;
        EXPECT_NE(screen.substr(at + message.size()).find_first_of("\r\n"), std::string::npos);
        EXPECT_LT(screen.find('\n', at), screen.find('[', at)) << "the progress goes on below " << message;
    }
    EXPECT_EQ(ReadFile(out + "/other.bmp"), ExpectedOutput(other));
}

}  // namespace
