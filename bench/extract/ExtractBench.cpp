// Extraction figures for the demo release (about 12 MB of S-record text):
//
//   corvel-bench-extract [--runs N] [--dir DIR]
//
// builds the demo release on a copy of this program, then times, in the same
// run and alternating, (a) ExtractFirmwareSet of the application set (Loader_1
// and Code_1..Code_12 written as part files, merged into Loader.hex and
// Code.hex, part files deleted) and (b) `cat` of the same thirteen chunks into
// one file. It prints the median of each, their ratio (goal: extraction at
// most 3 times `cat`), and the peak resident memory of an extraction run in a
// process of its own (goal: at most 64 MB), read from that process's VmHWM.
// (wait4's ru_maxrss is no use here: it keeps the high-water mark of the
// spawning process's memory from before the exec.) It also times (c) the
// check of the whole release that every update makes before it claims a
// port (every resource digest, the program part, the record), each run on a
// freshly opened release (goal: at most 100 ms).

#include "platform/MessageBox.h"
#include "platform/OwnResources.h"
#include "platform/ResourceArchive.h"
#include "tools/pack/DemoImages.h"
#include "tools/pack/Packer.h"
#include "workflow/FirmwareCatalogue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void Die(const std::string& text)
{
    std::cerr << "corvel-bench-extract: " << text << "\n";
    std::exit(1);
}

std::string SelfPath()
{
    return fs::read_symlink("/proc/self/exe").string();
}

long VmHwmKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

bool Extract(const std::string& release, const std::string& workDir, std::string* detail)
{
    auto resources = platform::OpenFileResources(release);
    ResourceAttributes record;
    TargetLabelTexts labels;
    ReadResourceAttributes(resources.get(), record, labels);
    std::string loader, code;
    // The benchmark measures a working extraction: any message box ends it.
    struct DieOnBox : platform::IMessageBoxes {
        platform::MessageAnswer ShowMessage(const std::string&, const std::string& text,
            platform::MessageIcon, platform::MessageButtons) override
        {
            Die("message box: " + text);
            return platform::MessageAnswer::Ok;
        }
    } boxes;
    return ExtractFirmwareSet(
        resources.get(), record, false, false, workDir, loader, code, detail, &boxes);
}

// Runs a program with standard output to `outPath`; returns its exit status
// and fills `usage`.
int Spawn(const std::vector<std::string>& argv, const std::string& outPath, rusage* usage)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outPath.empty()) {
        posix_spawn_file_actions_addopen(
            &actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        Die(std::string("cannot run ") + argv[0] + ": " + std::strerror(rc));
    int status = 0;
    rusage local {};
    if (wait4(pid, &status, 0, usage != nullptr ? usage : &local) < 0)
        Die("wait4 failed");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    // Child mode: one extraction, then its own peak memory on standard output.
    if (argc == 4 && std::string(argv[1]) == "--child-extract") {
        std::string detail;
        if (!Extract(argv[2], argv[3], &detail))
            Die("extraction failed: " + detail);
        std::cout << VmHwmKiB() << "\n";
        return 0;
    }

    int runs = 9;
    std::string base = fs::temp_directory_path().string();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::string(argv[i]) == "--dir")
            base = argv[i + 1];
        else
            Die(std::string("unknown option ") + argv[i]);
    }
    std::string pattern = base + "/corvel-bench-extract-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        Die("cannot make a folder under " + base);
    const fs::path root = pattern;

    // The demo release, packed onto a copy of this program.
    if (!pack::WriteDemoImages(root.string(), nullptr))
        Die("cannot write the demo images");
    pack::ReleaseOptions o;
    o.base = SelfPath();
    o.out = (root / "Updater_4400_Release_6_10").string();
    o.family = 0;
    o.series = 6;
    o.upgradeType = 3;
    o.platformFlag = 1;
    o.bootMajor = 6;
    o.bootMinor = 7;
    o.programmingAppVersion = "2.12.4";
    o.tuningAppVersion = "3.0.17";
    o.appLoader = (root / "app-loader.srec").string();
    o.appCode = (root / "app-code.srec").string();
    o.bootLoader = (root / "boot-loader.srec").string();
    o.bootCode = (root / "boot-code.srec").string();
    std::string error;
    std::ostringstream notes;
    if (!pack::BuildRelease(o, notes, &error))
        Die(error);

    // The same thirteen chunks as plain files, for `cat`.
    std::vector<std::string> catArgs = { "/bin/cat" };
    std::uint64_t chunkBytes = 0;
    {
        auto archive = platform::ResourceArchive::Open(o.out, &error);
        if (!archive)
            Die(error);
        std::vector<std::string> names = { "Loader_1" };
        for (int j = 1; j <= 12; ++j)
            names.push_back("Code_" + std::to_string(j));
        for (const std::string& name : names) {
            std::vector<std::uint8_t> bytes;
            if (!archive->Read(*archive->Find(name, "TEXT"), bytes, &error))
                Die(error);
            const fs::path file = root / ("chunk-" + name);
            std::ofstream(file, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
            catArgs.push_back(file.string());
            chunkBytes += bytes.size();
        }
    }

    std::vector<double> extractMs, catMs, checkMs;
    const fs::path work = root / "work";
    const fs::path catOut = root / "cat-out";
    for (int run = 0; run < runs; ++run) {
        fs::create_directory(work);
        auto t0 = Clock::now();
        std::string detail;
        if (!Extract(o.out, work.string(), &detail))
            Die("extraction failed: " + detail);
        auto t1 = Clock::now();
        extractMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (fs::file_size(work / "Code.hex") + fs::file_size(work / "Loader.hex") != chunkBytes) {
            Die("extraction wrote the wrong amount");
        }
        fs::remove_all(work);

        t0 = Clock::now();
        if (Spawn(catArgs, catOut.string(), nullptr) != 0)
            Die("cat failed");
        t1 = Clock::now();
        catMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        fs::remove(catOut);

        t0 = Clock::now();
        auto resources = platform::OpenFileResources(o.out);
        std::string damaged;
        if (!CheckReleaseWhole(resources.get(), damaged))
            Die("the demo release counts as damaged: " + damaged);
        t1 = Clock::now();
        checkMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }

    // Peak memory of one extraction in a process of its own.
    fs::create_directory(work);
    const fs::path hwmFile = root / "hwm";
    if (Spawn({ SelfPath(), "--child-extract", o.out, work.string() }, hwmFile.string(), nullptr)
        != 0) {
        Die("child extraction failed");
    }
    long hwm = -1;
    std::ifstream(hwmFile) >> hwm;

    const double e = Median(extractMs);
    const double c = Median(catMs);
    std::printf(
        "demo release: %llu bytes of chunks (Loader_1, Code_1..Code_12), %d runs, medians\n",
        static_cast<unsigned long long>(chunkBytes), runs);
    std::printf("  extraction (parts + merge + delete): %8.2f ms\n", e);
    std::printf("  cat of the same chunks:              %8.2f ms\n", c);
    std::printf("  ratio: %.2f (goal <= 3.00) %s\n", e / c, e <= 3 * c ? "met" : "MISSED");
    std::printf("  peak memory of an extraction process (VmHWM): %.1f MB (goal <= 64 MB) %s\n",
        hwm / 1024.0, hwm >= 0 && hwm <= 64 * 1024 ? "met" : "MISSED");
    const double k = Median(checkMs);
    std::printf("  whole-release check before a port is claimed (%llu bytes): %8.2f ms "
                "(goal <= 100 ms) %s\n",
        static_cast<unsigned long long>(fs::file_size(o.out)), k, k <= 100 ? "met" : "MISSED");
    fs::remove_all(root);
    return 0;
}
