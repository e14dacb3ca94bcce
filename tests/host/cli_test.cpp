// End-to-end runs of the placidor binary on clips it generates itself
// (audio stream first, then a shaky video with a known camera path).
// ffprobe checks what it writes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/process.h"
#include "support/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

using placidor::test::capture;
using placidor::test::Result;
using placidor::test::slurp;

class Cli : public placidor::test::ScratchFolderTest {
protected:
    Cli() : ScratchFolderTest("placidor_cli_") {}

    fs::path at(const std::string &name) const { return dir_ / name; }

    // Starts placidor with `args`; stdout and stderr go to files.
    pid_t start(const std::vector<std::string> &args, const std::string &tag = "run") {
        std::vector<std::string> all = {PLACIDOR_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        outFile_ = at(tag + ".out");
        errFile_ = at(tag + ".err");
        return placidor::test::spawnProgram(all, outFile_, errFile_);
    }

    Result finish(pid_t pid) { return placidor::test::finishProgram(pid, outFile_, errFile_); }

    Result run(const std::vector<std::string> &args) { return finish(start(args)); }

    // Writes the demo clip and its camera path.
    fs::path demo(const std::string &name, const std::string &size = "192x144",
                  const std::string &seconds = "2.4") {
        const Result r =
            run({"--make-demo", at(name).string(), "--demo-size", size, "--demo-seconds", seconds,
                 "--demo-shake", "5", "--demo-path", at(name + ".path.csv").string(), "-q"});
        EXPECT_EQ(r.status, 0) << r.err;
        return at(name);
    }

    // Files whose names show a temporary output left behind.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const auto &e : fs::directory_iterator(dir_))
            if (e.path().filename().string().find(".part") != std::string::npos)
                found.push_back(e.path().filename().string());
        return found;
    }

    fs::path outFile_, errFile_;
};

struct StreamFacts {
    std::string type;
    long long packets = 0, frames = 0;
    int width = 0, height = 0;
};

// Streams in file order, packets counted, video frames decoded.
std::vector<StreamFacts> probe(const fs::path &file) {
    const std::string text = capture(
        "ffprobe -v error -count_packets -count_frames -show_entries "
        "stream=codec_type,nb_read_packets,nb_read_frames,width,height -of "
        "default=nw=0 '" +
        file.string() + "'");
    std::vector<StreamFacts> streams;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "[STREAM]") streams.emplace_back();
        if (streams.empty()) continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        auto number = [&] { return value == "N/A" ? 0LL : std::stoll(value); };
        if (key == "codec_type") streams.back().type = value;
        if (key == "nb_read_packets") streams.back().packets = number();
        if (key == "nb_read_frames") streams.back().frames = number();
        if (key == "width") streams.back().width = static_cast<int>(number());
        if (key == "height") streams.back().height = static_cast<int>(number());
    }
    return streams;
}

double measuredShake(Cli &cli, const fs::path &file) {
    (void)cli;
    const std::string text =
        capture("'" PLACIDOR_CLI_PATH "' --measure '" + file.string() + "' -q");
    std::smatch m;
    static const std::regex pattern("shake ([0-9.]+) px RMS");
    if (!std::regex_search(text, m, pattern)) {
        ADD_FAILURE() << "no shake in: " << text;
        return -1;
    }
    return std::stod(m[1]);
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

TEST_F(Cli, StabilisesTheDemoKeepingItsFramesAndAudio) {
    const fs::path input = demo("shaky.mp4");
    const fs::path output = at("steady.mp4");
    const Result r = run({input.string(), output.string(), "--rects", at("rects.csv").string(),
                          "--plot", at("path.svg").string(), "--retune", "500,1000,2000",
                          "--progress", at("progress.txt").string(), "--preset", "veryfast"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("wrote"), std::string::npos);
    EXPECT_TRUE(leftovers().empty());

    const auto in = probe(input), out = probe(output);
    ASSERT_EQ(in.size(), 2u);
    ASSERT_EQ(out.size(), 2u);
    // The streams keep their order: the audio comes first in the demo.
    EXPECT_EQ(in[0].type, "audio");
    EXPECT_EQ(out[0].type, "audio");
    EXPECT_EQ(out[1].type, "video");
    EXPECT_EQ(out[0].packets, in[0].packets);  // audio copied packet for packet
    EXPECT_EQ(out[1].frames, in[1].frames);    // one output frame per input frame
    EXPECT_EQ(out[1].frames, 60);
    EXPECT_EQ(out[1].width, 192);
    EXPECT_EQ(out[1].height, 144);
    const std::string duration = "-show_entries stream=duration -of csv=p=0 ";
    EXPECT_EQ(capture("ffprobe -v error " + duration + "'" + output.string() + "'"),
              capture("ffprobe -v error " + duration + "'" + input.string() + "'"));

    const double before = measuredShake(*this, input), after = measuredShake(*this, output);
    EXPECT_GT(before, 2.0);
    EXPECT_LT(after, before * 0.3) << "shake " << before << " -> " << after;

    // The rectangles file: one row per frame, displacements as filmed.
    const auto rows = lines(slurp(at("rects.csv")));
    const auto truth = lines(slurp(at("shaky.mp4.path.csv")));
    ASSERT_EQ(rows.size(), 61u);
    EXPECT_EQ(rows[0], "frame,dx,dy,correction_x,correction_y,clamped,left,top,right,bottom");
    for (std::size_t f = 1; f < 60; ++f) {
        int frame, dx, dy, x0, y0, x1, y1;
        ASSERT_EQ(std::sscanf(rows[f + 1].c_str(), "%d,%d,%d", &frame, &dx, &dy), 3);
        ASSERT_EQ(std::sscanf(truth[f].c_str(), "%*d,%d,%d", &x0, &y0), 2);
        ASSERT_EQ(std::sscanf(truth[f + 1].c_str(), "%*d,%d,%d", &x1, &y1), 2);
        EXPECT_EQ(frame, static_cast<int>(f));
        // The camera moving right shows the picture moving left.
        EXPECT_EQ(dx, x0 - x1) << "frame " << f;
        EXPECT_EQ(dy, y0 - y1) << "frame " << f;
    }

    const std::string svg = slurp(at("path.svg"));
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    std::size_t polylines = 0;
    for (std::size_t p = svg.find("<polyline"); p != std::string::npos;
         p = svg.find("<polyline", p + 1))
        ++polylines;
    EXPECT_EQ(polylines, 6u);  // measured, smoothed, delivered on two axes

    const auto retune = lines(r.out);
    ASSERT_EQ(retune.size(), 4u) << r.out;
    for (std::size_t i = 1; i < 4; ++i) {
        int ms, error;
        double kept;
        ASSERT_EQ(std::sscanf(retune[i].c_str(), "%d %d %lf", &ms, &error, &kept), 3) << retune[i];
        EXPECT_EQ(ms, i == 1 ? 500 : i == 2 ? 1000 : 2000);
        EXPECT_GE(error, 0);
        EXPECT_GT(kept, 50.0);
        EXPECT_LE(kept, 100.0);
    }

    const std::string progress = slurp(at("progress.txt"));
    EXPECT_NE(progress.find("pass=analyse\n"), std::string::npos);
    EXPECT_NE(progress.find("pass=render\nframe=60\n"), std::string::npos);
    EXPECT_EQ(progress.substr(progress.size() - 13), "progress=end\n");
}

TEST_F(Cli, KeepsTheCropSizeAndWritesASideBySideComparison) {
    const fs::path input = demo("shaky.mp4");
    const Result r = run({input.string(), at("crop.mkv").string(), "--keep-crop-size", "--compare",
                          at("compare.mp4").string(), "--rects", at("rects.json").string(), "-q",
                          "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = probe(at("crop.mkv")), compare = probe(at("compare.mp4"));
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(compare.size(), 2u);
    EXPECT_LT(out[1].width, 192);
    EXPECT_LT(out[1].height, 144);
    EXPECT_EQ(out[1].width % 2, 0);
    EXPECT_EQ(out[1].height % 2, 0);
    EXPECT_EQ(out[1].frames, 60);
    EXPECT_EQ(compare[1].width, 384);
    EXPECT_EQ(compare[1].height, 144);
    EXPECT_EQ(compare[1].frames, 60);
    EXPECT_EQ(compare[0].packets, probe(input)[0].packets);
    const std::string json = slurp(at("rects.json"));
    EXPECT_NE(json.find("\"frames\": ["), std::string::npos);
    EXPECT_NE(json.find("{\"frame\": 59,"), std::string::npos);
    EXPECT_EQ(json.find("{\"frame\": 60,"), std::string::npos);
}

TEST_F(Cli, FrameRangeAnalysesPartButRendersEveryFrame) {
    const fs::path input = demo("shaky.mp4");
    const Result r = run({input.string(), at("part.mp4").string(), "--frames", "10:30", "--rects",
                          at("rects.csv").string(), "-q", "--preset", "ultrafast"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines(slurp(at("rects.csv")));
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[1].rfind("10,0,0,", 0), 0u);
    EXPECT_EQ(rows.back().rfind("30,", 0), 0u);
    EXPECT_EQ(probe(at("part.mp4"))[1].frames, 60);
}

TEST_F(Cli, MissingInputFailsWithoutWritingAnything) {
    const Result r = run({at("absent.mp4").string(), at("out.mp4").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("absent.mp4"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(at("out.mp4")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Cli, UnreadableInputAndInputWithoutVideoFail) {
    {
        std::ofstream garbage(at("garbage.mp4"));
        garbage << "this is not a video file\n";
    }
    Result r = run({at("garbage.mp4").string(), at("out.mp4").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    // A second of silence as a WAV file: audio, but no video.
    {
        std::ofstream wav(at("tone.wav"), std::ios::binary);
        const std::uint32_t rate = 8000, bytes = rate * 2;
        auto u32 = [&](std::uint32_t v) { wav.write(reinterpret_cast<const char *>(&v), 4); };
        auto u16 = [&](std::uint16_t v) { wav.write(reinterpret_cast<const char *>(&v), 2); };
        wav.write("RIFF", 4);
        u32(36 + bytes);
        wav.write("WAVEfmt ", 8);
        u32(16);
        u16(1);
        u16(1);
        u32(rate);
        u32(rate * 2);
        u16(2);
        u16(16);
        wav.write("data", 4);
        u32(bytes);
        const std::vector<char> silence(bytes, 0);
        wav.write(silence.data(), bytes);
    }
    r = run({at("tone.wav").string(), at("out.mp4").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no video stream"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("out.mp4")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Cli, UnwritableOutputFailsBeforeTheAnalysis) {
    const fs::path input = demo("shaky.mp4");
    const Result r = run({input.string(), at("no/such/dir/out.mp4").string(), "--progress",
                          at("progress.txt").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(at("progress.txt")).find("pass=analyse"), std::string::npos);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Cli, ExistingOutputIsKeptUnlessOverwriteIsAsked) {
    const fs::path input = demo("shaky.mp4");
    {
        std::ofstream keep(at("out.mp4"));
        keep << "precious";
    }
    Result r = run({input.string(), at("out.mp4").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("-y"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(at("out.mp4")), "precious");

    r = run({input.string(), at("out.mp4").string(), "-y", "-q", "--preset", "ultrafast"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(probe(at("out.mp4")).size(), 2u);
    EXPECT_EQ(probe(at("out.mp4"))[1].frames, 60);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Cli, BadCommandLinesAreUsageErrors) {
    const fs::path input = demo("shaky.mp4");
    const std::string out = at("out.mp4").string();
    const std::vector<std::vector<std::string>> cases = {
        {input.string()},
        {"--search-range", "500", input.string(), out},
        {"--crf", "x", input.string(), out},
        {"--no-such-option", input.string(), out},
        {input.string(), at("out.unknownext").string()},
        {"--window", "150,10,20,100", input.string(), out},  // checked against the frame
    };
    for (const auto &args : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << ": " << r.err;
        EXPECT_EQ(r.err.rfind("placidor: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_TRUE(leftovers().empty());
    const Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage:"), std::string::npos);
}

// Waits until the progress file shows the analysis under way.
bool waitForAnalysis(const fs::path &progress) {
    for (int i = 0; i < 400; ++i) {
        if (slurp(progress).find("pass=analyse") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A clip large enough, and a search wide enough, that the analysis lasts
// well beyond the moment the interrupt arrives.
const std::vector<std::string> kSlowAnalysis = {"--search-range", "100", "--preset", "ultrafast",
                                                "-q"};

TEST_F(Cli, InterruptDuringTheAnalysisRendersTheAnalysedPart) {
    const fs::path input = demo("big.mp4", "640x480", "6");
    std::vector<std::string> args = {input.string(), at("out.mp4").string(),
                                     "--progress",   at("progress.txt").string(),
                                     "--rects",      at("rects.csv").string()};
    args.insert(args.end(), kSlowAnalysis.begin(), kSlowAnalysis.end());
    const pid_t pid = start(args);
    ASSERT_TRUE(waitForAnalysis(at("progress.txt")));
    kill(pid, SIGINT);
    const Result r = finish(pid);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
    const auto rows = lines(slurp(at("rects.csv")));
    EXPECT_LT(rows.size(), 151u) << "the analysis ran to the end";
    EXPECT_GE(rows.size(), 2u);
    EXPECT_EQ(probe(at("out.mp4"))[1].frames, 150);  // every frame still rendered
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Cli, SecondInterruptAbortsWithoutLeavingAFile) {
    const fs::path input = demo("big.mp4", "640x480", "6");
    std::vector<std::string> args = {input.string(), at("out.mp4").string(), "--progress",
                                     at("progress.txt").string()};
    args.insert(args.end(), kSlowAnalysis.begin(), kSlowAnalysis.end());
    const pid_t pid = start(args);
    ASSERT_TRUE(waitForAnalysis(at("progress.txt")));
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, SIGINT);
    const Result r = finish(pid);
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_FALSE(fs::exists(at("out.mp4")));
    EXPECT_TRUE(leftovers().empty());
}

}  // namespace

namespace {

// Runs the ffmpeg command line (quietly, replacing files) in the test's folder.
int ffmpeg(Cli &, const fs::path &dir, const std::string &args) {
    return std::system(
        ("cd '" + dir.string() + "' && ffmpeg -nostdin -v error -y " + args + " </dev/null")
            .c_str());
}

// One ffprobe value: `entries` names it, e.g. "format=start_time".
std::string probeValue(const fs::path &file, const std::string &entries,
                       const std::string &select = "") {
    std::string text =
        capture("ffprobe -v error " + (select.empty() ? "" : "-select_streams " + select + " ") +
                "-show_entries " + entries + " -of default=nw=1:nk=1 '" + file.string() + "'");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

double probeNumber(const fs::path &file, const std::string &entries,
                   const std::string &select = "") {
    const std::string v = probeValue(file, entries, select);
    try {
        return std::stod(v);
    } catch (...) {
        ADD_FAILURE() << file << ": no number for " << entries << ": '" << v << "'";
        return -1e9;
    }
}

class CliFiles : public Cli {
protected:
    int ff(const std::string &args) { return ffmpeg(*this, dir_, args); }
    // A quick stabilisation of `in` into `out` with extra arguments.
    Result stabilise(const std::string &in, const std::string &out,
                     std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {at(in).string(), at(out).string(), "-q", "-y",
                                         "--preset",      "ultrafast"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }
};

}  // namespace

// Timestamps: every stream moves back together by the input's start, so
// the output starts and lasts as a stream copy with ffmpeg would, whatever
// the input's first timestamp (MPEG-TS starts at 1.4 s, or anywhere).
TEST_F(CliFiles, OutputStartsWhereAStreamCopyStarts) {
    const std::string sources =
        "-f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i sine=f=440:sample_rate=48000 "
        "-t 2 -c:v libx264 -preset ultrafast -c:a mp2 -f mpegts ";
    ASSERT_EQ(ff(sources + "plain.ts"), 0);
    ASSERT_EQ(ff(sources + "-output_ts_offset 1000 late.ts"), 0);
    for (const std::string in : {"plain.ts", "late.ts"})
        for (const std::string ext : {".mp4", ".mkv"}) {
            const std::string out = in + ext, copy = in + ".copy" + ext;
            const Result r = stabilise(in, out);
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_EQ(ff("-i " + in + " -map 0 -c copy " + copy), 0);
            EXPECT_NEAR(probeNumber(at(out), "format=start_time"),
                        probeNumber(at(copy), "format=start_time"), 0.02)
                << out;
            EXPECT_NEAR(probeNumber(at(out), "format=duration"),
                        probeNumber(at(copy), "format=duration"), 0.05)
                << out;
            // Audio and video stay as far apart as they were.
            EXPECT_NEAR(probeNumber(at(out), "stream=start_time", "v") -
                            probeNumber(at(out), "stream=start_time", "a"),
                        probeNumber(at(copy), "stream=start_time", "v") -
                            probeNumber(at(copy), "stream=start_time", "a"),
                        0.002)
                << out;
        }
}

// The last frame lasts one frame: containers that count frames (AVI) hold
// exactly the input's frames, and MP4/MOV keep the average rate.
TEST_F(CliFiles, EveryContainerHoldsTheFramesAtTheirRate) {
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=128x96:rate=30 -t 2 -c:v libx264 -preset ultrafast -bf "
                 "2 in.mp4"),
              0);
    for (const std::string out : {"out.mp4", "out.mov", "out.avi", "out.mkv"}) {
        // The medium preset's B-frames put the last packet before the last picture.
        const Result r = stabilise("in.mp4", out, {"--preset", "medium"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(probeValue(at(out), "stream=avg_frame_rate", "v"), "30/1") << out;
        EXPECT_EQ(capture("ffprobe -v error -count_frames -select_streams v -show_entries "
                          "stream=nb_read_frames "
                          "-of default=nw=1:nk=1 '" +
                          at(out).string() + "'"),
                  "60\n")
            << out;
        EXPECT_NEAR(probeNumber(at(out), "format=duration"), 2.0, 0.001) << out;
        if (out != "out.mkv") {
            EXPECT_EQ(probeValue(at(out), "stream=nb_frames", "v"), "60") << out;
        }
    }
}

// An odd width and height lose their last column and row; the rest of
// the picture is not resampled.
TEST_F(CliFiles, OddSizesAreCroppedNotRescaled) {
    // A still picture: the framing stays put, so the output is the input
    // minus its last column and row.
    ASSERT_EQ(ff("-f lavfi -i testsrc=size=161x121:rate=25,trim=end_frame=1,loop=24:1 -c:v ffv1 "
                 "still.mkv"),
              0);
    const Result r = stabilise("still.mkv", "out.mkv", {"--crf", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probeValue(at("out.mkv"), "stream=width,height", "v"), "160\n120");
    // The reference converted to limited-range BT.709, as the output is
    // tagged, on every frame.
    ASSERT_EQ(ff("-i still.mkv -vf crop=160:120:0:0,scale=out_color_matrix=bt709:out_range=tv "
                 "-pix_fmt yuv420p -c:v ffv1 ref.mkv"),
              0);
    const std::string psnr = capture("ffmpeg -nostdin -i '" + at("out.mkv").string() + "' -i '" +
                                     at("ref.mkv").string() + "' -lavfi psnr -f null - 2>&1");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(psnr, m, std::regex("average:([0-9.]+|inf)"))) << psnr;
    EXPECT_TRUE(m[1] == "inf" || std::stod(m[1]) > 30.0)
        << "PSNR against the cropped input: " << m[1];
}

// The colour tags describe the pixels written: decoded to RGB by ffmpeg,
// which honours the tags, the output shows the input's colour.
TEST_F(CliFiles, ColourTagsDescribeThePixelsWritten) {
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"full422.mp4", "-c:v libx264 -pix_fmt yuvj422p"},  // webcam-style full range 4:2:2
        {"full444.mkv", "-c:v libx264 -pix_fmt yuv444p -color_range pc"},
        {"rgb.mkv", "-c:v png"},                  // RGB
        {"grey.mkv", "-c:v ffv1 -pix_fmt gray"},  // grey
        {"limited.mp4", "-c:v libx264 -pix_fmt yuv420p"},
    };
    const auto centre = [&](const std::string &file) {
        const std::string raw =
            capture("ffmpeg -nostdin -v error -i '" + at(file).string() +
                    "' -frames:v 1 -vf crop=2:2:63:47 -f rawvideo -pix_fmt rgb24 -");
        return raw.size() >= 3 ? std::vector<int>{std::uint8_t(raw[0]), std::uint8_t(raw[1]),
                                                  std::uint8_t(raw[2])}
                               : std::vector<int>{};
    };
    for (const auto &[file, codec] : sources) {
        const std::string colour = file == "grey.mkv" ? "0xF0F0F0" : "0xF01040";
        ASSERT_EQ(
            ff("-f lavfi -i color=c=" + colour + ":size=128x96:rate=25 -t 1 " + codec + " " + file),
            0);
        const Result r = stabilise(file, "out_" + file);
        ASSERT_EQ(r.status, 0) << file << ": " << r.err;
        const auto in = centre(file), out = centre("out_" + file);
        ASSERT_EQ(in.size(), 3u);
        ASSERT_EQ(out.size(), 3u);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(out[c], in[c], 4) << file << " channel " << c;
        EXPECT_NE(probeValue(at("out_" + file), "stream=color_space", "v"), "gbr") << file;
    }
}

// Every stream, chapter and attachment goes where the container holds it;
// what it cannot hold is refused before the analysis, or left out with a
// warning naming it when asked.
TEST_F(CliFiles, StreamsChaptersAndAttachmentsAreCarriedOrRefused) {
    {
        std::ofstream(at("s.srt")) << "1\n00:00:00,000 --> 00:00:01,000\nHello\n";
        std::ofstream(at("font.ttf")) << "not really a font";
        std::ofstream(at("chapters.txt"))
            << ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n"
               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Two\n";
    }
    ASSERT_EQ(
        ff("-f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i sine=sample_rate=44100 -i s.srt "
           "-i chapters.txt -map 0 -map 1 -map 2 -map_chapters 3 -t 2 -c:v libx264 -preset "
           "ultrafast "
           "-c:a flac -c:s srt -attach font.ttf -metadata:s:t mimetype=application/x-truetype-font "
           "rich.mkv"),
        0);
    const auto kinds = [&](const std::string &file) {
        return probeValue(at(file), "stream=codec_name");
    };

    Result r = stabilise("rich.mkv", "all.mkv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kinds("all.mkv"), "h264\nflac\nsubrip\nttf");
    EXPECT_EQ(probeValue(at("all.mkv"), "chapter=id").size(),
              probeValue(at("rich.mkv"), "chapter=id").size());
    EXPECT_NE(probeValue(at("all.mkv"), "chapter_tags=title").find("Two"), std::string::npos);
    EXPECT_EQ(probeValue(at("all.mkv"), "stream_tags=filename", "t"), "font.ttf");

    // MP4 holds no SubRip: refused at once, before the analysis starts.
    r = stabilise("rich.mkv", "out.mp4", {"--progress", at("p.txt").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("subrip"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("-sn"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(".mkv"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(at("p.txt")).find("frame="), std::string::npos);
    EXPECT_FALSE(fs::exists(at("out.mp4")));
    // A transport stream would turn FLAC and SubRip into unreadable data.
    r = stabilise("rich.mkv", "out.ts");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("flac"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("out.ts")));
    // Asked to leave out what does not fit: each left-out piece is named.
    r = stabilise("rich.mkv", "out.ts", {"--skip-unsupported"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probeValue(at("out.ts"), "format=nb_streams"), "1");
    for (const char *named : {"flac audio", "subrip subtitle", "font.ttf", "2 chapters"})
        EXPECT_NE(r.err.find(named), std::string::npos) << named << " in: " << r.err;
    // -an -sn drop audio and subtitles; the MP4 then keeps the chapters.
    r = stabilise("rich.mkv", "out.mp4", {"-an", "-sn", "--skip-unsupported"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probeValue(at("out.mp4"), "stream=codec_name", "a"), "");
    EXPECT_EQ(probeValue(at("out.mp4"), "stream=codec_name", "s"), "");
    EXPECT_NE(probeValue(at("out.mp4"), "chapter_tags=title").find("One"), std::string::npos);

    // Cover art and a second video stream are copied as they are.
    ASSERT_EQ(ff("-f lavfi -i color=c=red:size=64x64 -frames:v 1 cover.png"), 0);
    ASSERT_EQ(
        ff("-f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i testsrc=size=80x60:rate=10 -i "
           "cover.png "
           "-map 0 -map 1 -map 2 -t 2 -c:v:0 libx264 -c:v:1 libx264 -preset ultrafast -c:v:2 png "
           "-disposition:v:2 attached_pic extra.mp4"),
        0);
    r = stabilise("extra.mp4", "extra_out.mp4");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto in = probe(at("extra.mp4")), out = probe(at("extra_out.mp4"));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].packets, in[1].packets);
    EXPECT_EQ(out[1].width, 80);
    EXPECT_EQ(probeValue(at("extra_out.mp4"), "stream_disposition=attached_pic"), "0\n0\n1");
}

// Text subtitles in a format the container does not hold (MP4's mov_text
// in Matroska, SubRip in MP4) are refused with the format it holds and
// the ffmpeg command that converts them; that command, run as given,
// makes an input the container takes.
TEST_F(CliFiles, TextSubtitlesTheContainerCannotHoldAreToldHowToConvert) {
    std::ofstream(at("s.srt")) << "1\n00:00:00,000 --> 00:00:01,000\nHello\n";
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=128x96:rate=25 -i s.srt -map 0 -map 1 -t 1 -c:v "
                 "libx264 -preset ultrafast -c:s mov_text timed.mp4"),
              0);
    ASSERT_EQ(ff("-i timed.mp4 -map 0 -c:v copy -c:s srt subrip.mkv"), 0);
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
        {"timed.mp4", "out.mkv", "mov_text", "subrip"},
        {"subrip.mkv", "out.mp4", "subrip", "mov_text"}};
    for (const auto &[in, out, from, to] : cases) {
        Result r = stabilise(in, out, {"--progress", at("p.txt").string()});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("(" + from + " subtitle)"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("holds text subtitles as " + to + ", not " + from), std::string::npos)
            << r.err;
        for (const char *hint : {"-sn", "--skip-unsupported"})
            EXPECT_NE(r.err.find(hint), std::string::npos) << hint << " in: " << r.err;
        EXPECT_EQ(slurp(at("p.txt")).find("frame="), std::string::npos);
        EXPECT_FALSE(fs::exists(at(out)));
        fs::remove(at("p.txt"));
        // The conversion it gives, run as given, is taken.
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(r.err, m, std::regex("\\(ffmpeg (.*) CONVERTED(\\.[a-z0-9]+),")))
            << r.err;
        const std::string converted = "converted" + m[2].str();
        ASSERT_EQ(ff(m[1].str() + " " + converted), 0) << m[1];
        r = stabilise(converted, out);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(probeValue(at(out), "stream=codec_name", "s"),
                  to == "subrip" ? "subrip" : "mov_text");
        fs::remove(at(out));
    }
}

// A phone's rotation flag stays with the video where the container keeps
// it, and Matroska, which cannot, is refused rather than played sideways.
TEST_F(CliFiles, RotationIsKeptOrRefused) {
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=128x96:rate=25 -t 1 -c:v libx264 -preset ultrafast "
                 "plain.mp4"),
              0);
    ASSERT_EQ(ff("-i plain.mp4 -c copy -metadata:s:v rotate=90 phone.mp4"), 0);
    const std::string rotation = probeValue(at("phone.mp4"), "stream_side_data=rotation", "v");
    ASSERT_EQ(std::abs(std::stoi(rotation)), 90);
    Result r = stabilise("phone.mp4", "out.mov");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probeValue(at("out.mov"), "stream_side_data=rotation", "v"), rotation);
    r = stabilise("phone.mp4", "out.mkv");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rotation"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("out.mkv")));
    // An unrotated input goes into Matroska as before.
    EXPECT_EQ(stabilise("plain.mp4", "out.mkv").status, 0);
}

// Muxers that write files of their own (playlists, segments, images) and
// containers without H.264 video are refused at once, writing nothing.
TEST_F(CliFiles, OutputsThatCannotBeOneVideoFileAreRefused) {
    ASSERT_EQ(
        ff("-f lavfi -i testsrc2=size=128x96:rate=25 -t 0.2 -c:v libx264 -preset ultrafast in.mp4"),
        0);
    for (const std::string out : {"out.m3u8", "out.mpd", "out.png", "out_%03d.png", "out.wav",
                                  "out.mp3", "out.gif", "out.webm"}) {
        const Result r = stabilise("in.mp4", out);
        EXPECT_EQ(r.status, 2) << out << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find("Invalid argument"), std::string::npos) << r.err;
        std::vector<std::string> files;
        for (const auto &e : fs::directory_iterator(dir_))
            if (e.path().filename().string().rfind("out", 0) == 0)
                files.push_back(e.path().filename().string());
        EXPECT_TRUE(files.empty()) << out << ": " << ::testing::PrintToString(files);
    }
}

// The same file under another spelling, a symlink or a hard link is still
// the input: refused, and the input survives.
TEST_F(CliFiles, TheInputIsNeverTheOutputUnderAnotherName) {
    const fs::path input = demo("in.mp4");
    const std::string before = slurp(input);
    fs::create_symlink(input, at("link.mp4"));
    fs::create_hard_link(input, at("hard.mp4"));
    const std::string dotted = (dir_ / "." / "in.mp4").string();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {input.string(), dotted, "-y"},
             {input.string(), at("link.mp4").string(), "-y"},
             {input.string(), at("hard.mp4").string(), "-y"},
             {input.string(), at("out.mp4").string(), "-y", "--progress", dotted}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << ": " << r.err;
        EXPECT_NE(r.err.find("input"), std::string::npos) << r.err;
    }
    EXPECT_EQ(slurp(input), before);
    EXPECT_FALSE(fs::exists(at("out.mp4")));
}

// Without -y nothing is replaced: side files that exist are refused, and
// of two runs racing for the same new name only one succeeds.
TEST_F(CliFiles, WithoutOverwriteNothingIsReplaced) {
    const fs::path input = demo("in.mp4");
    std::ofstream(at("rects.csv")) << "precious";
    std::ofstream(at("p.txt")) << "precious";
    Result r = run({input.string(), at("out.mp4").string(), "--rects", at("rects.csv").string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("rects.csv"), std::string::npos) << r.err;
    r = run({input.string(), at("out.mp4").string(), "--progress", at("p.txt").string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(slurp(at("rects.csv")), "precious");
    EXPECT_EQ(slurp(at("p.txt")), "precious");
    EXPECT_FALSE(fs::exists(at("out.mp4")));

    std::vector<pid_t> pids;
    std::vector<Result> results;
    for (int i = 0; i < 2; ++i)
        pids.push_back(
            start({input.string(), at("race.mp4").string(), "-q", "--preset", "ultrafast"},
                  "race" + std::to_string(i)));
    for (int i = 0; i < 2; ++i) {
        outFile_ = at("race" + std::to_string(i) + ".out");
        errFile_ = at("race" + std::to_string(i) + ".err");
        results.push_back(finish(pids[std::size_t(i)]));
    }
    EXPECT_EQ((results[0].status == 0) + (results[1].status == 0), 1)
        << results[0].status << " " << results[0].err << " / " << results[1].status << " "
        << results[1].err;
    EXPECT_EQ(probe(at("race.mp4")).size(), 2u);
    EXPECT_TRUE(leftovers().empty());
}

// Side files that cannot be written are reported with the reason before
// the analysis; a progress stream that fails to write fails the run.
TEST_F(CliFiles, SideFileErrorsComeFirstWithTheirReason) {
    const fs::path input = demo("in.mp4");
    for (const std::string option : {"--rects", "--plot", "--progress"}) {
        const std::string bad = at(option == "--plot" ? "no/dir/p.svg" : "no/dir/r.csv").string();
        const Result r = run({input.string(), at("out.mp4").string(), option, bad, "--progress",
                              option == "--progress" ? bad : at("p.txt").string()});
        EXPECT_EQ(r.status, 1) << option << ": " << r.err;
        EXPECT_NE(r.err.find("No such file or directory"), std::string::npos)
            << option << ": " << r.err;
        EXPECT_EQ(slurp(at("p.txt")).find("frame="), std::string::npos) << option;
        EXPECT_FALSE(fs::exists(at("out.mp4")));
        fs::remove(at("p.txt"));
    }
    const Result r = run({input.string(), at("out.mp4").string(), "-q", "--preset", "ultrafast",
                          "--progress", "/dev/full"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("No space left"), std::string::npos) << r.err;
    EXPECT_TRUE(leftovers().empty());
}

// The progress stream is FFmpeg's: its keys, and one progress=end, last.
TEST_F(CliFiles, ProgressFollowsFfmpegsFormat) {
    const fs::path input = demo("in.mp4");
    const Result r = run({input.string(), at("out.mp4").string(), "-q", "--preset", "ultrafast",
                          "--progress", at("p.txt").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = slurp(at("p.txt"));
    std::size_t ends = 0;
    for (std::size_t p = text.find("progress=end"); p != std::string::npos;
         p = text.find("progress=end", p + 1))
        ++ends;
    EXPECT_EQ(ends, 1u);
    ASSERT_GE(text.size(), 13u);
    EXPECT_EQ(text.substr(text.size() - 13), "progress=end\n");
    for (const char *key :
         {"\nframe=", "\nfps=", "\nout_time_us=", "\nout_time_ms=", "\nout_time=", "\nspeed="})
        EXPECT_NE(text.find(key), std::string::npos) << key;
    // 60 frames at 25 fps: the render ends at 2.4 s of video.
    EXPECT_NE(text.find("frame=60\n"), std::string::npos);
    EXPECT_NE(text.find("out_time=00:00:02.400000\n"), std::string::npos) << text;
}

// Pipes: standard input and named pipes are read once into a temporary
// file, which both passes read; nothing of it is left afterwards.
TEST_F(CliFiles, PipedInputsAreStabilised) {
    const fs::path input = demo("in.mp4");
    const std::string cli = PLACIDOR_CLI_PATH;
    int status =
        std::system(("cat '" + input.string() + "' | '" + cli + "' - '" + at("stdin.mp4").string() +
                     "' -q --preset ultrafast 2>'" + at("stdin.err").string() + "'")
                        .c_str());
    EXPECT_EQ(status, 0) << slurp(at("stdin.err"));
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    status = std::system(("(cat '" + input.string() + "' > '" + at("fifo").string() +
                          "' &); timeout 60 '" + cli + "' '" + at("fifo").string() + "' '" +
                          at("fifo.mp4").string() + "' -q --preset ultrafast 2>'" +
                          at("fifo.err").string() + "'")
                             .c_str());
    EXPECT_EQ(status, 0) << slurp(at("fifo.err"));
    for (const char *out : {"stdin.mp4", "fifo.mp4"}) {
        const auto streams = probe(at(out));
        ASSERT_EQ(streams.size(), 2u) << out;
        EXPECT_EQ(streams[1].frames, 60) << out;
    }
    EXPECT_TRUE(leftovers().empty()) << ::testing::PrintToString(leftovers());
}

// Every terminating signal removes the temporary files and exits with
// 128 + its number, as other tools do.
TEST_F(CliFiles, SignalsLeaveNothingBehind) {
    const fs::path input = demo("big.mp4", "640x480", "6");
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
        std::vector<std::string> args = {
            input.string(), at("out.mp4").string(),   "--progress", at("progress.txt").string(),
            "--rects",      at("rects.csv").string(), "-y"};
        args.insert(args.end(), kSlowAnalysis.begin(), kSlowAnalysis.end());
        const pid_t pid = start(args);
        ASSERT_TRUE(waitForAnalysis(at("progress.txt")));
        kill(pid, signal);
        const Result r = finish(pid);
        EXPECT_EQ(r.status, 128 + signal) << signal << ": " << r.err;
        EXPECT_FALSE(fs::exists(at("out.mp4")));
        EXPECT_FALSE(fs::exists(at("rects.csv")));
        EXPECT_TRUE(leftovers().empty()) << signal;
        fs::remove(at("progress.txt"));
    }
    // The reader of --progress - going away (SIGPIPE).
    const int status =
        std::system(("'" PLACIDOR_CLI_PATH "' '" + input.string() + "' '" + at("out.mp4").string() +
                     "' --progress - -q --search-range 100 2>/dev/null | head -c 10 >/dev/null")
                        .c_str());
    (void)status;  // the pipeline's status is head's
    EXPECT_FALSE(fs::exists(at("out.mp4")));
    EXPECT_TRUE(leftovers().empty()) << ::testing::PrintToString(leftovers());
}

// Damaged but decodable inputs are stabilised as far as they decode, with
// a warning saying what was lost: half of a faststart MP4 (a phone's
// battery died), a transport stream with bit errors.
TEST_F(CliFiles, DamagedInputsAreStabilisedWithAWarning) {
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine -t 4 -c:v libx264 "
                 "-preset ultrafast "
                 "-c:a aac -movflags +faststart whole.mp4"),
              0);
    const std::string whole = slurp(at("whole.mp4"));
    std::ofstream(at("half.mp4"), std::ios::binary) << whole.substr(0, whole.size() / 2);
    const std::string decodable = capture(
        "ffprobe -v quiet -count_frames -select_streams v -show_entries "
        "stream=nb_read_frames -of csv=p=0 '" +
        at("half.mp4").string() + "'");
    ASSERT_GT(std::stoi(decodable), 10);
    ASSERT_LT(std::stoi(decodable), 100);
    Result r = stabilise("half.mp4", "half_out.mp4");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(probe(at("half_out.mp4"))[0].frames, std::stoi(decodable));
    EXPECT_NE(r.err.find("of its 100 frames could not be read"), std::string::npos) << r.err;

    // Matroska has no frame index, but its muxers write each track's
    // duration; AVI's frame count holds an empty chunk for x264's delay,
    // which a whole file must not be warned about.
    for (const char *ext : {"mkv", "avi"}) {
        const std::string name = std::string("whole.") + ext, cut = std::string("cut.") + ext;
        ASSERT_EQ(ff("-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine -t 4 -c:v libx264 "
                     "-preset ultrafast -c:a mp3 " +
                     name),
                  0);
        r = stabilise(name, name + ".mp4");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("warning"), std::string::npos) << ext << ": " << r.err;
        const std::string bytes = slurp(at(name));
        std::ofstream(at(cut), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
        r = stabilise(cut, cut + ".mp4");
        ASSERT_EQ(r.status, 0) << r.err;
        const int frames = probe(at(cut + ".mp4"))[0].frames;
        EXPECT_GT(frames, 10) << ext;
        EXPECT_LT(frames, 90) << ext;
        EXPECT_NE(r.err.find(std::string(ext) == "mkv" ? "its video ends after"
                                                       : "frames could not be read"),
                  std::string::npos)
            << ext << ": " << r.err;
    }

    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine -t 4 -c:v libx264 "
                 "-preset ultrafast "
                 "-c:a mp2 -f mpegts clean.ts"),
              0);
    const std::string clean = slurp(at("clean.ts"));
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::string bits = clean;
        std::mt19937 random(seed);
        for (int i = 0; i < 60; ++i)
            bits[2000 + random() % (bits.size() - 2000)] ^= char(1 << (random() % 8));
        const std::string name = "bits" + std::to_string(seed) + ".ts";
        std::ofstream(at(name), std::ios::binary) << bits;
        r = stabilise(name, name + ".mp4");
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        if (r.status == 0) {
            const auto streams = probe(at(name + ".mp4"));
            ASSERT_EQ(streams.size(), 2u);
            EXPECT_GE(streams[0].frames, 90) << name;
        }
    }
}

// How far the two fields of `file`'s plane ("y" or "u") stay apart: the
// mean of the top field's rows, of the bottom field's, and the share of
// row pairs whose top row is the brighter.
struct FieldContrast {
    double top = 0, bottom = 0, topBrighter = 0;
};
FieldContrast fieldContrast(const fs::path &file, const std::string &plane) {
    const std::string size = probeValue(file, "stream=width,height", "v");
    int width = 0, height = 0;
    if (std::sscanf(size.c_str(), "%d\n%d", &width, &height) != 2) {
        ADD_FAILURE() << file << ": no size in '" << size << "'";
        return {};
    }
    if (plane != "y") {
        width /= 2;
        height /= 2;
    }
    const std::string raw =
        capture("ffmpeg -nostdin -v error -i '" + file.string() + "' -vf extractplanes=" + plane +
                " -f rawvideo -pix_fmt gray -");
    const std::size_t frameBytes = std::size_t(width) * height;
    FieldContrast c;
    long long pairs = 0, brighter = 0;
    for (std::size_t f = 0; frameBytes > 0 && (f + 1) * frameBytes <= raw.size(); ++f)
        for (int r = 0; r + 1 < height; r += 2) {
            double rowMean[2] = {0, 0};
            for (int k = 0; k < 2; ++k)
                for (int x = 0; x < width; ++x)
                    rowMean[k] +=
                        std::uint8_t(raw[f * frameBytes + std::size_t(r + k) * width + x]);
            c.top += rowMean[0] / width;
            c.bottom += rowMean[1] / width;
            brighter += rowMean[0] > rowMean[1];
            ++pairs;
        }
    if (pairs == 0) {
        ADD_FAILURE() << file << ": nothing decoded";
        return {};
    }
    c.top /= pairs;
    c.bottom /= pairs;
    c.topBrighter = double(brighter) / pairs;
    return c;
}

// Interlaced sources stay interlaced: each field is cut and resampled on
// its own, never blended with the other (taken at another moment), and
// the output has the source's field order. In the clips the fields differ
// strongly: the top field is a bright copy of a shaking picture, the
// bottom field a dark one, with other chroma.
TEST_F(CliFiles, InterlacedSourcesKeepTheirFields) {
    const auto fields = [](const std::string &format) {
        return "-f lavfi -i \"testsrc2=s=400x180:r=25,crop=352:144:x='24+16*sin(n*0.9)':y='18+9*"
               "sin(n*1.7)',format=" +
               format +
               ",split[a][b];[a]lutyuv=y=128+val/2:u=176[a1];[b]lutyuv=y=val/2:u=80[b1];[a1][b1]"
               "vstack,il=l=i:c=i";
    };
    // H.264 top field first; MPEG-2 bottom field first; FFV1 4:2:2 whose
    // container alone says bottom field first, 286 rows high (each field
    // then loses a row: a 4:2:0 field needs an even height).
    ASSERT_EQ(ff(fields("yuv420p") +
                 "\" -t 2 -c:v libx264 -preset ultrafast -flags +ildct+ilme -top 1 tff.mkv"),
              0);
    ASSERT_EQ(
        ff(fields("yuv420p") + "\" -t 2 -c:v mpeg2video -q:v 2 -flags +ildct+ilme -top 0 bff.ts"),
        0);
    ASSERT_EQ(ff(fields("yuv422p") +
                 ",crop=352:286:0:0\" -t 2 -c:v ffv1 -pix_fmt yuv422p -field_order bb "
                 "tagged.mkv"),
              0);
    const std::vector<std::tuple<std::string, std::string, std::string, int>> cases = {
        {"tff.mkv", "tff_out.mkv", "tt", 288},
        {"tff.mkv", "tff_out.mp4", "tt", 288},
        {"bff.ts", "bff_out.mp4", "bb", 288},
        {"bff.ts", "bff_out.mkv", "bb", 288},
        {"tagged.mkv", "tagged_out.mkv", "bb", 284}};
    for (const auto &[in, out, order, height] : cases) {
        // A transport stream lists its streams twice (in its program too).
        const std::string given = probeValue(at(in), "stream=field_order", "v");
        ASSERT_EQ(given.substr(0, given.find('\n')), order) << in;
        const FieldContrast source = fieldContrast(at(in), "y");
        ASSERT_GT(source.top - source.bottom, 100) << in;
        const std::string compare = "compare_" + out;
        const Result r = stabilise(
            in, out, {"--compare", at(compare).string(), "--rects", at(out + ".csv").string()});
        ASSERT_EQ(r.status, 0) << in << ": " << r.err;
        for (const std::string &written : {out, compare}) {
            EXPECT_EQ(probeValue(at(written), "stream=field_order", "v"), order) << written;
            // The decoder sees the same order in every frame.
            const std::string info = capture("ffmpeg -nostdin -v info -i '" + at(written).string() +
                                             "' -vf showinfo -f null - 2>&1");
            const std::string flag = order == "tt" ? "i:T" : "i:B";
            std::size_t flagged = 0;
            for (std::size_t p = info.find(flag); p != std::string::npos;
                 p = info.find(flag, p + 1))
                ++flagged;
            EXPECT_EQ(flagged, 50u) << written;
            for (const std::string plane : {"y", "u"}) {
                const FieldContrast c = fieldContrast(at(written), plane);
                EXPECT_GT(c.topBrighter, 0.99) << written << " " << plane;
                EXPECT_GT(c.top - c.bottom, plane == "y" ? 120 : 60) << written << " " << plane;
            }
        }
        EXPECT_EQ(probeValue(at(out), "stream=height", "v"), std::to_string(height)) << out;
        // The framing moved the picture up and down by fractions of a row.
        bool fractional = false;
        for (const std::string &row : lines(slurp(at(out + ".csv")))) {
            double top = 0;
            if (std::sscanf(row.c_str(), "%*d,%*d,%*d,%*f,%*f,%*d,%*f,%lf", &top) == 1)
                fractional = fractional || std::fabs(top - std::round(top)) > 0.05;
        }
        EXPECT_TRUE(fractional) << out << ": the test shows nothing";
    }
    // A progressive source stays progressive.
    ASSERT_EQ(ff("-f lavfi -i testsrc2=s=176x144:r=25 -t 1 -c:v libx264 -preset ultrafast p.mkv"),
              0);
    ASSERT_EQ(stabilise("p.mkv", "p_out.mkv").status, 0);
    EXPECT_EQ(probeValue(at("p_out.mkv"), "stream=field_order", "v"), "progressive");
}

// A small file system mounted for a test (tmpfs, which needs root), and
// unmounted when the test ends, before its folder is removed.
struct SmallDisk {
    SmallDisk(const fs::path &dir, const std::string &size) : dir(dir) {
        fs::create_directories(dir);
        mounted = geteuid() == 0 && std::system(("mount -t tmpfs -o size=" + size + " tmpfs '" +
                                                 dir.string() + "' 2>/dev/null")
                                                    .c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted) (void)std::system(("umount '" + dir.string() + "'").c_str());
    }
    bool resize(const std::string &size) const {
        return std::system(("mount -o remount,size=" + size + " '" + dir.string() + "'").c_str()) ==
               0;
    }
    fs::path dir;
    bool mounted = false;
};

// A disk too small for what the run will certainly write (here the copied
// PCM audio alone) is refused before the analysis, naming the folder and
// the space; the same run on a disk with room is not. A side file's disk
// is checked as well.
TEST_F(CliFiles, AFullDiskIsRefusedBeforeTheAnalysis) {
    // Two seconds of 16-bit stereo PCM at 48 kHz: 384 kB, copied as it is.
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=128x96:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 "
                 "-c:v libx264 -preset ultrafast -c:a pcm_s16le -ac 2 pcm.mkv"),
              0);
    const SmallDisk disk(at("small"), "256k");
    if (!disk.mounted) GTEST_SKIP() << "mounting a tmpfs needs root (id -u is " << geteuid() << ")";
    Result r = stabilise("pcm.mkv", "small/out.mkv", {"--progress", at("p.txt").string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("not enough free space in '" + at("small").string() + "'"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("[0-9]+ KiB free.*needs at least [0-9]+ KiB")))
        << r.err;
    EXPECT_EQ(slurp(at("p.txt")).find("pass=analyse"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(at("small")));

    // With room for it, the same run is not refused, nor warned about.
    ASSERT_TRUE(disk.resize("8m"));
    r = stabilise("pcm.mkv", "small/out.mkv");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("free"), std::string::npos) << r.err;
    EXPECT_EQ(probeValue(at("small/out.mkv"), "stream=codec_name", "a"), "pcm_s16le");

    // Room for what is certain, not for what is likely (the video of a
    // noisy lossless source): a warning before the analysis, which goes on.
    fs::remove(at("small/out.mkv"));
    ASSERT_TRUE(disk.resize("640k"));
    ASSERT_EQ(
        ff("-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2 "
           "-vf noise=alls=30:allf=t -c:v libx264 -preset ultrafast -crf 0 -c:a pcm_s16le "
           "-ac 2 noisy.mkv"),
        0);
    r = stabilise("noisy.mkv", "small/out.mkv", {"--progress", at("p.txt").string()});
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("^placidor: warning: only [0-9]+ KiB free in '" + at("small").string() +
                          "'[^\n]*probably needs about [0-9.]+ MiB")))
        << r.err;
    EXPECT_NE(slurp(at("p.txt")).find("pass=analyse"), std::string::npos);
    EXPECT_TRUE(leftovers().empty());

    // Filled up: a side file there is refused, though the output's disk has room.
    fs::remove(at("small/out.mkv"));
    (void)std::system(
        ("cat /dev/zero > '" + at("small/filler").string() + "' 2>/dev/null").c_str());
    r = stabilise("pcm.mkv", "out.mkv", {"--rects", at("small/rects.csv").string()});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("'" + at("small").string() + "'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(at("out.mkv")));
    EXPECT_FALSE(fs::exists(at("small/rects.csv")));
}

// Pictures the decoder completed by concealment (bit errors in a transport
// stream) are counted, and the warning says how many: as many as FFmpeg
// itself reports concealing, decoding the same file. A clean file has no
// such warning.
TEST_F(CliFiles, ConcealedDamageIsCountedInTheWarning) {
    ASSERT_EQ(ff("-f lavfi -i testsrc2=size=160x120:rate=25 -t 4 -c:v libx264 -preset ultrafast "
                 "-f mpegts clean.ts"),
              0);
    Result r = stabilise("clean.ts", "clean.mp4");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
    const std::string clean = slurp(at("clean.ts"));
    long long total = 0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::string bits = clean;
        std::mt19937 random(seed);
        for (int i = 0; i < 40; ++i)
            bits[2000 + random() % (bits.size() - 2000)] ^= char(1 << (random() % 8));
        const std::string name = "bits" + std::to_string(seed) + ".ts";
        std::ofstream(at(name), std::ios::binary) << bits;
        // FFmpeg's own count: one "concealing" line per picture, once the
        // decoding proper starts (the probe before it decodes some twice).
        const std::string log = capture("ffmpeg -nostdin -nostats -v info -threads 1 -i '" +
                                        at(name).string() + "' -map 0:v -f null - 2>&1");
        long long expected = 0;
        for (std::size_t p = log.find("concealing", log.find("Stream mapping"));
             p != std::string::npos; p = log.find("concealing", p + 1))
            ++expected;
        r = stabilise(name, name + ".mp4");
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        std::smatch m;
        if (expected == 0) {
            EXPECT_EQ(r.err.find("concealed"), std::string::npos) << name << ": " << r.err;
            continue;
        }
        ASSERT_TRUE(std::regex_search(
            r.err, m,
            std::regex("warning: [^\n]*[:;] ([0-9]+) of the ([0-9]+) frames decoded had "
                       "damage the decoder concealed")))
            << name << ": " << r.err;
        EXPECT_EQ(std::stoll(m[1]), expected) << name << ": " << r.err;
        EXPECT_EQ(std::stoll(m[2]), probe(at(name + ".mp4"))[0].frames) << name;
        total += expected;
    }
    EXPECT_GT(total, 0) << "no damage reached a picture: the test shows nothing";
}

// 10-bit HDR stays 10 bits deep, with its transfer, primaries, mastering
// display and light level metadata, so that the tags describe the pixels.
TEST_F(CliFiles, HdrKeepsItsDepthAndMetadata) {
    ASSERT_EQ(ff("-f lavfi -i color=c=0xC08040:size=128x96:rate=25 -t 1 -c:v libx265 -pix_fmt "
                 "yuv420p10le "
                 "-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -x265-params "
                 "'log-level=error:hdr10=1:master-display=G(13250,34500)B(7500,3000)R(34000,16000)"
                 "WP(15635,16450)"
                 "L(10000000,1):max-cll=1000,400' hdr.mkv"),
              0);
    const Result r = stabilise("hdr.mkv", "out.mkv", {"--compare", at("compare.mp4").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *out : {"out.mkv", "compare.mp4"}) {
        EXPECT_EQ(
            probeValue(at(out), "stream=pix_fmt,color_transfer,color_primaries,color_space", "v"),
            "yuv420p10le\nbt2020nc\nsmpte2084\nbt2020")
            << out;
    }
    const std::string side = probeValue(at("out.mkv"), "stream_side_data", "v");
    EXPECT_NE(side.find("Mastering display metadata"), std::string::npos) << side;
    EXPECT_NE(side.find("Content light level metadata\n1000\n400"), std::string::npos) << side;
    // The samples keep their 10-bit values.
    const auto centreLuma = [&](const std::string &file) {
        const std::string raw =
            capture("ffmpeg -nostdin -v error -i '" + at(file).string() +
                    "' -frames:v 1 -vf crop=2:2:63:47 -f rawvideo -pix_fmt gray10le -");
        return raw.size() >= 2 ? int(std::uint8_t(raw[0])) | int(std::uint8_t(raw[1])) << 8 : -1;
    };
    EXPECT_NEAR(centreLuma("out.mkv"), centreLuma("hdr.mkv"), 3);
}

// The render pass resamples each frame on a worker thread while the
// encoder takes the frame before; PLACIDOR_RENDER_THREADS=1 does the same
// work on one thread. The frames written are the same whatever the thread
// timing: 8 and 10 bits, the stabilised file and the side-by-side one, at
// the input size and at the cropped size (a second resampler for the
// comparison).
TEST_F(CliFiles, ThreadedRenderWritesTheFramesOfTheSequentialOne) {
    demo("shaky8.mp4", "192x144", "2");
    ASSERT_EQ(ff("-i '" + at("shaky8.mp4").string() +
                 "' -c:v libx265 -x265-params log-level=error:lossless=1 -pix_fmt yuv420p10le "
                 "-c:a copy shaky10.mkv"),
              0);
    const auto md5s = [&](const std::string &file) {
        const std::string text = capture("ffmpeg -nostdin -v error -i '" + at(file).string() +
                                         "' -map 0:v -f framemd5 -");
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#') lines.push_back(line);
        return lines;
    };
    for (const std::string input : {"shaky8.mp4", "shaky10.mkv"})
        for (const bool cropSize : {false, true}) {
            const std::string what = input + (cropSize ? ", crop size" : "");
            std::vector<std::string> frames[2], sides[2];
            for (int threads : {1, 2}) {
                const std::string out = "out" + std::to_string(threads) + ".mkv";
                const std::string side = "side" + std::to_string(threads) + ".mkv";
                std::vector<std::string> extra = {"--compare", at(side).string()};
                if (cropSize) extra.push_back("--keep-crop-size");
                if (threads == 1) {
                    ASSERT_EQ(setenv("PLACIDOR_RENDER_THREADS", "1", 1), 0);
                }
                const Result r = stabilise(input, out, extra);
                ASSERT_EQ(unsetenv("PLACIDOR_RENDER_THREADS"), 0);
                ASSERT_EQ(r.status, 0) << what << ": " << r.err;
                frames[threads - 1] = md5s(out);
                sides[threads - 1] = md5s(side);
            }
            EXPECT_EQ(frames[0].size(), 50u) << what;
            EXPECT_EQ(frames[0], frames[1]) << what;
            EXPECT_EQ(sides[0].size(), 50u) << what;
            EXPECT_EQ(sides[0], sides[1]) << what;
            // Every frame differs from the one before (the camera shakes):
            // a buffer handed to the encoder while the next frame is
            // resampled into it would repeat a picture.
            const auto hash = [](const std::string &line) { return line.substr(line.rfind(',')); };
            for (std::size_t i = 1; i < frames[0].size(); ++i)
                EXPECT_NE(hash(frames[0][i]), hash(frames[0][i - 1])) << what << ", frame " << i;
        }
}
