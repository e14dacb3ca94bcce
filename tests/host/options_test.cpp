// Option parsing and how the options land in the engine's parameter block.
#include <gtest/gtest.h>

#include "options.h"

namespace placidor::host {
namespace {

Options parse(std::vector<std::string> args) { return parseOptions(args); }

StabilizerParams block(std::vector<std::string> extra, std::int32_t w = 320, std::int32_t h = 240) {
    extra.push_back("in.mp4");
    extra.push_back("out.mp4");
    return makeParams(parse(extra), w, h, 25.0f, 99);
}

StabilizerParams normalised(StabilizerParams p) {
    EXPECT_EQ(StabilizerInit(p), NoError);
    StabilizerParams out{};
    StabilizerGetParameter(&out);
    return out;
}

TEST(Options, DefaultsLeaveTheEngineItsOwnChoices) {
    const StabilizerParams p = block({});
    EXPECT_EQ(p.size, PLACIDOR_PARAMS_SIZE);
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);
    EXPECT_FLOAT_EQ(p.frameRate, 25.0f);
    EXPECT_EQ(p.firstFrame, 0);
    EXPECT_EQ(p.lastFrame, 99);
    EXPECT_EQ(p.searchRange, 32);
    EXPECT_EQ(p.smoothTimeX, 1000);
    EXPECT_EQ(p.smoothTimeY, 0);
    EXPECT_EQ(p.searchMethod, 0);
    EXPECT_EQ(p.smoothingMode, 0);
    EXPECT_EQ(p.channel, 0);
    EXPECT_EQ(p.fieldHandling, 0);
    EXPECT_EQ(p.twoBytePixels, 1);
    // Zero limits and window: the engine's defaults, half the frame and
    // its middle half.
    const StabilizerParams n = normalised(p);
    EXPECT_EQ(n.cropLimitLeft, 160);
    EXPECT_EQ(n.cropLimitRight, 160);
    EXPECT_EQ(n.cropLimitTop, 120);
    EXPECT_EQ(n.cropLimitBottom, 120);
    EXPECT_EQ(n.measureLeft, 80);
    EXPECT_EQ(n.measureRight, 240);
    EXPECT_EQ(n.smoothTimeY, 1000);
}

TEST(Options, CropLimitInPixelsAndPercentBoundsTheCorrectionBothWays) {
    StabilizerParams p = normalised(block({"--crop-limit", "16"}));
    EXPECT_EQ(p.cropLimitLeft, 16);              // correctionX <= 16
    EXPECT_EQ(p.cropLimitRight - p.width, -16);  // correctionX >= -16
    EXPECT_EQ(p.cropLimitTop, 16);
    EXPECT_EQ(p.cropLimitBottom - p.height, -16);

    p = normalised(block({"-c", "10%,5%"}));
    EXPECT_EQ(p.cropLimitLeft, 32);
    EXPECT_EQ(p.cropLimitRight - p.width, -32);
    EXPECT_EQ(p.cropLimitTop, 12);
    EXPECT_EQ(p.cropLimitBottom - p.height, -12);

    // Half the frame: the engine's equal-limits rule gives the same value.
    p = normalised(block({"-c", "50%"}));
    EXPECT_EQ(p.cropLimitLeft, 160);
    EXPECT_EQ(p.cropLimitRight, 160);

    p = normalised(block({"-c", "0"}));  // no correction at all
    EXPECT_EQ(p.cropLimitLeft, 0);
    EXPECT_EQ(p.cropLimitRight - p.width, 0);
}

TEST(Options, WindowIsGivenInPictureRowsAndStoredBottomUp) {
    const StabilizerParams p = block({"--window", "40,20,280,100"});
    EXPECT_EQ(p.measureLeft, 40);
    EXPECT_EQ(p.measureRight, 279);
    // Picture rows 20..99 are buffer rows 140..219 of a bottom-up frame.
    EXPECT_EQ(p.measureTop, 140);
    EXPECT_EQ(p.measureBottom, 219);
    const StabilizerParams q = block({"-w", "25%,25%,75%,75%"});
    EXPECT_EQ(q.measureLeft, 80);
    EXPECT_EQ(q.measureRight, 239);
    EXPECT_EQ(q.measureTop, 60);
    EXPECT_EQ(q.measureBottom, 179);
    EXPECT_THROW(block({"-w", "100,10,50,90"}), UsageError);
    EXPECT_THROW(block({"-w", "0,0,400,100"}), UsageError);
}

TEST(Options, AnalysisChoicesMapOntoTheBlock) {
    StabilizerParams p = block({"-r", "12", "--method", "fast", "--smooth-x", "800", "--smooth-y",
                                "400", "--channel", "green", "--interlaced", "skip"});
    EXPECT_EQ(p.searchRange, 12);
    EXPECT_EQ(p.searchMethod, 1);
    EXPECT_EQ(p.smoothTimeX, 800);
    EXPECT_EQ(p.smoothTimeY, 400);
    EXPECT_EQ(p.channel, 2);
    EXPECT_EQ(p.fieldHandling, 1);
    EXPECT_EQ(p.fieldMode, 3);

    p = block({"--smooth=500", "--no-smooth", "--channel", "blue", "--interlaced", "black"});
    EXPECT_EQ(p.smoothTimeX, 500);
    EXPECT_EQ(p.smoothTimeY, 0);
    EXPECT_EQ(p.smoothingMode, 1);
    EXPECT_EQ(p.channel, 3);
    EXPECT_EQ(p.fieldMode, 1);
    EXPECT_EQ(block({"--interlaced", "copy"}).fieldMode, 2);
    EXPECT_EQ(block({"--channel", "red"}).channel, 1);
    EXPECT_EQ(block({"--method", "full"}).searchMethod, 0);
}

TEST(Options, FrameRangeAndOutputChoices) {
    Options o = parse(
        {"--frames",         "10:20",    "-y",         "--crf",  "18",    "--preset",  "slow",
         "--keep-crop-size", "--rects",  "r.json",     "--plot", "p.svg", "--compare", "c.mp4",
         "--retune",         "500,1000", "--progress", "-",      "-q",    "a.mov",     "b.mkv"});
    EXPECT_EQ(o.firstFrame, 10);
    ASSERT_TRUE(o.lastFrame.has_value());
    EXPECT_EQ(*o.lastFrame, 20);
    EXPECT_TRUE(o.overwrite);
    EXPECT_EQ(o.crf, 18);
    EXPECT_EQ(o.preset, "slow");
    EXPECT_TRUE(o.keepCropSize);
    EXPECT_EQ(o.rectsFile, "r.json");
    EXPECT_EQ(o.plotFile, "p.svg");
    EXPECT_EQ(o.compareFile, "c.mp4");
    EXPECT_EQ(o.retune, (std::vector<std::int32_t>{500, 1000}));
    EXPECT_EQ(o.progressFile, "-");
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.input, "a.mov");
    EXPECT_EQ(o.output, "b.mkv");
    EXPECT_EQ(makeParams(o, 64, 64, 30.0f, 20).firstFrame, 10);

    o = parse({"--frames", "5:", "a", "b"});
    EXPECT_EQ(o.firstFrame, 5);
    EXPECT_FALSE(o.lastFrame.has_value());
    o = parse({"--", "-odd-name.mp4", "b.mp4"});
    EXPECT_EQ(o.input, "-odd-name.mp4");
}

TEST(Options, ModesOtherThanStabilising) {
    EXPECT_EQ(parse({"--help"}).mode, Mode::Help);
    EXPECT_EQ(parse({"-h", "whatever"}).mode, Mode::Help);
    const Options demo =
        parse({"--make-demo", "d.mp4", "--demo-size", "201x150", "--demo-seconds", "2.5"});
    EXPECT_EQ(demo.mode, Mode::MakeDemo);
    EXPECT_EQ(demo.output, "d.mp4");
    EXPECT_EQ(demo.demoWidth, 200);  // 4:2:0 needs even sizes
    EXPECT_EQ(demo.demoHeight, 150);
    EXPECT_DOUBLE_EQ(demo.demoSeconds, 2.5);
    const Options measure = parse({"--measure", "x.mp4", "-r", "8"});
    EXPECT_EQ(measure.mode, Mode::Measure);
    EXPECT_EQ(measure.input, "x.mp4");
    EXPECT_EQ(measure.searchRange, 8);
}

TEST(Options, BadCommandLinesNameTheProblem) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"in.mp4"}, "needs an input and an output"},
        {{"a", "b", "c"}, "unexpected argument 'c'"},
        {{"a.mp4", "a.mp4"}, "overwrite the input"},
        {{"--bogus", "a", "b"}, "--bogus"},
        {{"-r", "0", "a", "b"}, "-r"},
        {{"-r", "101", "a", "b"}, "outside 1..100"},
        {{"-r", "12px", "a", "b"}, "not a whole number"},
        {{"--smooth", "0", "a", "b"}, "--smooth"},
        {{"--crf", "52", "a", "b"}, "--crf"},
        {{"--preset", "quick", "a", "b"}, "x264 preset"},
        {{"--method", "slow", "a", "b"}, "full nor fast"},
        {{"--channel", "alpha", "a", "b"}, "--channel"},
        {{"--interlaced", "yes", "a", "b"}, "--interlaced"},
        {{"-c", "120%", "a", "b"}, "outside 0..100%"},
        {{"-c", "-3", "a", "b"}, "negative"},
        {{"-c", "1,2,3", "a", "b"}, "X or X,Y"},
        {{"-w", "1,2,3", "a", "b"}, "LEFT,TOP,RIGHT,BOTTOM"},
        {{"--frames", "9", "a", "b"}, "FIRST:LAST"},
        {{"--frames", "9:3", "a", "b"}, "before the first"},
        {{"--rects", "r.txt", "a", "b"}, ".csv or .json"},
        {{"--plot", "p.png", "a", "b"}, ".svg"},
        {{"--retune", "500,,1000", "a", "b"}, "--retune"},
        {{"--rects", "b.csv", "a", "b.csv"}, "named twice"},
        {{"-y=1", "a", "b"}, "-y"},
        {{"--overwrite=1", "a", "b"}, "takes no value"},
        {{"a", "b", "--crf"}, "needs a value"},
    };
    for (const auto &[args, expected] : cases) {
        try {
            parse(args);
            ADD_FAILURE() << "accepted: " << ::testing::PrintToString(args);
        } catch (const UsageError &e) {
            EXPECT_NE(e.message.find(expected), std::string::npos)
                << "'" << e.message << "' lacks '" << expected << "'";
        }
    }
}

TEST(Options, HelpExplainsEveryOptionAndTheExitStatus) {
    const std::string help = helpText();
    for (const char *option : {"--search-range", "--method",     "--smooth",         "--smooth-x",
                               "--smooth-y",     "--no-smooth",  "--crop-limit",     "--window",
                               "--channel",      "--interlaced", "--frames",         "--overwrite",
                               "--crf",          "--preset",     "--keep-crop-size", "--rects",
                               "--plot",         "--compare",    "--retune",         "--progress",
                               "--quiet",        "--make-demo",  "--measure",        "--version",
                               "Exit status",    "130"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace placidor::host
