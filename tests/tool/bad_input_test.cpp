// What the tool does with input it cannot use: every class of bad option is refused with a
// message naming it and a non-zero exit before anything is captured or created; write failures
// and inputs that deliver nothing fail the command and say why, and files already written stay
// whole.
#include "tool_run.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

namespace {

using namespace tooltest;

// Runs a command line that must be refused before any capture: non-zero exit, the offending
// text named, no capture summary and no file left in the folder.
void ExpectRefused(const fs::path& dir, const std::string& arguments, const std::string& named) {
    SCOPED_TRACE(arguments);
    const ToolRun r = run(arguments, dir);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find(named), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Captured for"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::is_empty(dir)) << "a refused command left a file";
}

TEST_F(Tool, ADriverImageThatCannotBeLoadedIsRefusedNamingWhy) {
    ExpectRefused(dir_, "--driver-image /nonexistent/quadhdmi.sys start", "/nonexistent/quadhdmi.sys");
    // A file that is not a kernel image: the loader says so and nothing runs.
    const fs::path bogus = fs::temp_directory_path() / ("qh-not-an-image-" + std::to_string(getpid()) + ".sys");
    {
        std::ofstream out(bogus);
        out << "MZ but nothing more";
    }
    ExpectRefused(dir_, "--driver-image " + bogus.string() + " capture -i 0 --frames 1", "not a PE image");
    fs::remove(bogus);
}

TEST_F(Tool, NumbersOutsideTheirRangesAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"capture --seconds nan", "'nan'"},
        {"capture --seconds inf", "'inf'"},
        {"capture --seconds 1e300", "'1e300'"},
        {"capture --seconds -2", "'-2'"},
        {"capture --seconds 0", "'0'"},
        {"capture --seconds 0x10", "'0x10'"},
        {"capture --frames 0", "'0'"},
        {"capture --frames -1", "'-1'"},
        {"capture --frames 18446744073709551617", "'18446744073709551617'"},
        {"capture --frames 1.5", "'1.5'"},
        {"stats --frames -5", "'-5'"},
        {"capture --buffers 0", "'0'"},
        {"capture --buffers 65", "'65'"},
        {"capture -i 4", "'4'"},
        {"capture -i -1", "'-1'"},
        {"capture --inputs 0,9", "'9'"},
        {"stats -i 4", "'4'"},
        {"start --i2c-fail 0=-1", "'0=-1'"},
        {"start --i2c-fail 0=4294967296", "'0=4294967296'"},
        {"start --i2c-fail -0=1", "'-0=1'"},
        {"start --audio-code 0=16", "'0=16'"},
        {"start --i2c-khz 250", "'250'"},
        {"start --bus-read-ns 0", "'0'"},
        {"start --bus-read-ns 100001", "'100001'"},
        {"start --absent -1", "'-1'"},
        {"start --wrong-id 4", "'4'"},
        {"reg read -1", "-1"},
    };
    for (const auto& [arguments, named] : cases)
        ExpectRefused(dir_, arguments, named);
}

// An option given with nothing after it is not an option left out; a rate or a time in exponent
// form is not a plain number; the card cannot be put back before it was pulled out.
TEST_F(Tool, EmptyValuesExponentsAndAReplugBeforeTheUnplugAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"start --irq-latency ''", "--irq-latency"},
        {"start --irq-stall ''", "--irq-stall"},
        {"start --start-seed ''", "--start-seed"},
        {"start --trace ''", "--trace"},
        {"capture --inputs ''", "--inputs"},
        {"capture --format ''", "--format"},
        {"start --source 2=1280x720p6e1", "'1280x720p6e1'"},
        {"start --source 0=1920x1080p1e3", "'1920x1080p1e3'"},
        {"start --source 0=1920x1080p0x3c", "'1920x1080p0x3c'"},
        {"start --irq-latency 2e0", "'2e0'"},
        {"start --irq-stall 2e1/30", "'2e1/30'"},
        {"capture --unplug-after 2 --replug-after 1", "--replug-after 1 is not later than --unplug-after 2"},
        {"capture --unplug-after 2 --replug-after 2", "not later than"},
        {"capture --replug-after 1", "--replug-after 1 without --unplug-after"},
    };
    for (const auto& [arguments, named] : cases)
        ExpectRefused(dir_, arguments, named);
}

TEST_F(Tool, SourcesTheCardCannotCarryAreRefusedAndTheSmallestItCanIsCheckedSafely) {
    const std::pair<const char*, const char*> cases[] = {
        {"capture --source 0=1x1p60", "cannot carry"}, {"capture --source 0=641x480p60", "even"},
        {"start --source 1=2x8192p60", "8191"},        {"start --source 2=4000x4000p60", "4 MiB"},
        {"start --source 2=1920x2160p30", "4 MiB"},
    };
    for (const auto& [arguments, named] : cases)
        ExpectRefused(dir_, arguments, named);

    // A two-pixel picture: lines narrower than the pattern's stamp, which the check must not
    // read past (the address sanitizer build runs this too).
    const ToolRun r = run("capture -i 2 --source 2=2x2p60 --frames 5 --video tiny.yuv -q", dir_);
    EXPECT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("input 2 video: 5 frames 2x2 progressive"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("bad frames 0"), std::string::npos) << r.output;
    EXPECT_EQ(read_file(dir_ / "tiny.yuv").size(), 5u * 2 * 2 * 2);
}

TEST_F(Tool, OutputFilesThatCollideOrCannotBeWrittenAreRefusedBeforeTheCapture) {
    const std::pair<const char*, const char*> cases[] = {
        {"capture --video same --audio same", "both write 'same'"},
        {"capture --video ./same.y4m --snapshot same.y4m", "both write"},
        {"capture -i 1 --video x%d.yuv --audio x1.yuv", "both write 'x1.yuv'"},
        {"capture --video v.yuv --trace v.yuv", "both write 'v.yuv'"},
        {"capture --video v%999d.yuv", "%0Nd"},
        {"capture --video v%09999999999d.yuv", "%0Nd"},
        {"capture --video v%d-%d.yuv", "only once"},
        {"capture --video v%s.yuv", "%0Nd"},
        {"capture --video no/such/folder/v.yuv", "no/such/folder"},
        {"capture --audio /", "is a folder"},
    };
    for (const auto& [arguments, named] : cases)
        ExpectRefused(dir_, arguments, named);
    // A link to a file named again under another name is the same file.
    { std::ofstream(dir_ / "real.wav") << "x"; }
    fs::create_symlink(dir_ / "real.wav", dir_ / "link.wav");
    const ToolRun r = run("capture --audio real.wav --video link.wav", dir_);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.output.find("both write"), std::string::npos) << r.output;
}

TEST_F(Tool, WriteFailuresFailTheCommandNamingTheFileAndLeaveTheOtherFilesWhole) {
    ToolRun r = run("capture -i 0 --frames 3 --video /dev/full -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("/dev/full: No space left on device; the file is incomplete"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("wrote /dev/full"), std::string::npos) << r.output;

    // Audio to a full device, video to a file: the video file is complete and says so.
    r = run("capture -i 2 --frames 4 --video ok.y4m --audio /dev/full -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("/dev/full: No space left on device; the file is incomplete"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("wrote ok.y4m"), std::string::npos) << r.output;
    const std::vector<uint8_t> y4m = read_file(dir_ / "ok.y4m");
    const std::string header = "YUV4MPEG2 W1280 H720 F60:1 Ip A1:1 C422\n";
    ASSERT_GE(y4m.size(), header.size());
    EXPECT_EQ(std::string(y4m.begin(), y4m.begin() + header.size()), header);
    EXPECT_EQ(y4m.size(), header.size() + 4 * (6 + 1280 * 720 * 2));

    // A snapshot that cannot be written leaves what the path named as it was: an older picture
    // stays whole (no half-written or deleted file, no scratch file left beside it), and nothing
    // appears where there was nothing. Files may grow to 512 bytes here, far below a PNG of 720p.
    const std::string small_files = "ulimit -f 1; trap '' XFSZ;";
    { std::ofstream(dir_ / "old.png") << "an older picture"; }
    r = run("capture -i 2 --frames 2 --snapshot old.png -q", dir_, small_files);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("old.png: File too large"), std::string::npos) << r.output;
    EXPECT_TRUE(fs::exists(dir_ / "old.png")) << "the snapshot's failure deleted the file it was to replace";
    const std::vector<uint8_t> kept = read_file(dir_ / "old.png");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older picture");
    r = run("capture -i 2 --frames 2 --snapshot new.png -q", dir_, small_files);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_FALSE(fs::exists(dir_ / "new.png"));
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_))
        files += entry.path().filename() != "ok.y4m";
    EXPECT_EQ(files, 1u) << "a scratch file was left behind";
    // A device is written in place and never removed (as root, the library's own file writer
    // deleted /dev/full); this one is /dev/full's twin, made here where mknod is allowed.
    if (::mknod((dir_ / "full.png").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) == 0) {
        r = run("capture -i 2 --frames 2 --snapshot full.png -q", dir_);
        EXPECT_NE(r.code, 0) << r.output;
        EXPECT_NE(r.output.find("full.png: No space left on device"), std::string::npos) << r.output;
        struct stat st;
        EXPECT_TRUE(::lstat((dir_ / "full.png").c_str(), &st) == 0 && S_ISCHR(st.st_mode))
            << "the device node was removed or replaced";
    }

    r = run("start --trace /dev/full", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("writing the trace to /dev/full failed"), std::string::npos) << r.output;

    r = run("list 2>/dev/null >/dev/full; echo exit $?", dir_);
    EXPECT_EQ(r.output.find("exit 0"), std::string::npos) << r.output;
}

TEST_F(Tool, AnInputThatDeliversNothingFailsTheCaptureWithItsReason) {
    ToolRun r = run("capture -i 3 -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("input 3: no video frames within the capture: no cable"), std::string::npos) << r.output;

    r = run("capture -i 2 --absent 2 --seconds 0.5 --audio a.wav -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("input 2: no audio within the capture: the receiver does not answer (absent)"),
              std::string::npos)
        << r.output;

    // An I2C master that never becomes idle is not a missing cable: the receiver was never read.
    r = run("capture -i 0 --i2c-stuck 0 --seconds 0.5 --video v.yuv --audio a.wav -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("input 0: no video frames within the capture: the input's I2C master is stuck"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("input 0: no audio within the capture: the input's I2C master is stuck"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("no cable"), std::string::npos) << r.output;

    r = run("stats -i 3 --frames 2", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("input 3: no video frames: no cable"), std::string::npos) << r.output;

    // A format the input's pin does not offer is refused by name.
    r = run("capture -i 0 --format 123x45 -q", dir_);
    EXPECT_NE(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("no video range of 123x45"), std::string::npos) << r.output;
}

}  // namespace
