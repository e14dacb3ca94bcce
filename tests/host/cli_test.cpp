// End-to-end runs of the placidor binary on clips it generates itself
// (audio stream first, then a shaky video with a known camera path).
// ffprobe checks what it writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

std::string slurp(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(::testing::TempDir()) /
               ("placidor_cli_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir_);
    }

    fs::path at(const std::string &name) const { return dir_ / name; }

    // Starts placidor with `args`; stdout and stderr go to files.
    pid_t start(const std::vector<std::string> &args, const std::string &tag = "run") {
        std::vector<std::string> all = {PLACIDOR_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        outFile_ = at(tag + ".out");
        errFile_ = at(tag + ".err");
        posix_spawn_file_actions_addopen(&actions, 1, outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << all[0];
        return pid;
    }

    Result finish(pid_t pid) {
        Result r;
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(outFile_);
        r.err = slurp(errFile_);
        return r;
    }

    Result run(const std::vector<std::string> &args) { return finish(start(args)); }

    // Writes the demo clip and its camera path.
    fs::path demo(const std::string &name, const std::string &size = "192x144", const std::string &seconds = "2.4") {
        const Result r = run({"--make-demo", at(name).string(), "--demo-size", size, "--demo-seconds", seconds,
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

    fs::path dir_, outFile_, errFile_;
};

std::string capture(const std::string &command) {
    std::string text;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) text.append(buffer, n);
        pclose(p);
    }
    return text;
}

struct StreamFacts {
    std::string type;
    long long packets = 0, frames = 0;
    int width = 0, height = 0;
};

// Streams in file order, packets counted, video frames decoded.
std::vector<StreamFacts> probe(const fs::path &file) {
    const std::string text = capture("ffprobe -v error -count_packets -count_frames -show_entries "
                                     "stream=codec_type,nb_read_packets,nb_read_frames,width,height -of "
                                     "default=nw=0 '" + file.string() + "'");
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
    const std::string text = capture("'" PLACIDOR_CLI_PATH "' --measure '" + file.string() + "' -q");
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
    const Result r = run({input.string(), output.string(), "--rects", at("rects.csv").string(), "--plot",
                       at("path.svg").string(), "--retune", "500,1000,2000", "--progress",
                       at("progress.txt").string(), "--preset", "veryfast"});
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
    for (std::size_t p = svg.find("<polyline"); p != std::string::npos; p = svg.find("<polyline", p + 1)) ++polylines;
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
                       at("compare.mp4").string(), "--rects", at("rects.json").string(), "-q", "--preset",
                       "ultrafast"});
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
const std::vector<std::string> kSlowAnalysis = {"--search-range", "100", "--preset", "ultrafast", "-q"};

TEST_F(Cli, InterruptDuringTheAnalysisRendersTheAnalysedPart) {
    const fs::path input = demo("big.mp4", "640x480", "6");
    std::vector<std::string> args = {input.string(), at("out.mp4").string(), "--progress",
                                     at("progress.txt").string(), "--rects", at("rects.csv").string()};
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
