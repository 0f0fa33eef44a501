// The description generator run as CMake runs it: both files written for a given binary name,
// and on bad arguments or an unusable folder a one-line error, a non-zero exit and no file.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/support/run_program.h"

namespace orvex {
namespace {

using test::Outcome;
using test::runProgram;
using test::slurp;

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvex-lv2-XXXXXX").string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

Outcome generate(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), ORVEX_LV2_TTL_GEN);
    return runProgram(dir.file("generator"), args);
}

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

TEST(Lv2Generator, WritesTheManifestAndTheDescriptionForTheBinaryGiven) {
    TempDir dir;
    const std::string bundle = dir.file("Some.lv2");
    const Outcome o = generate(dir, {bundle, "orvex.dylib"});
    ASSERT_EQ(o.status, 0) << o.all();
    EXPECT_EQ(o.all(), "");
    const std::string manifest = slurp(bundle + "/manifest.ttl");
    EXPECT_NE(manifest.find("<urn:orvex:processor>"), std::string::npos);
    EXPECT_NE(manifest.find("<urn:orvex:processor-stereo-in>"), std::string::npos);
    EXPECT_NE(manifest.find("lv2:binary <orvex.dylib>"), std::string::npos);
    const std::string ttl = slurp(bundle + "/orvex.ttl");
    EXPECT_NE(ttl.find("lv2:symbol \"band_2_to_1_gain_linking_db\""), std::string::npos);
    EXPECT_NE(ttl.find("lv2:default 0.7 ;"), std::string::npos);  // the float 0.7f, read back exactly
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(bundle)) files += e.is_regular_file();
    EXPECT_EQ(files, 2);  // no temporary left
}

TEST(Lv2Generator, RefusesWhatItCannotDoInOneLineAndWritesNothing) {
    TempDir dir;
    Outcome o = generate(dir, {});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(lines(o.err), 1) << o.err;

    o = generate(dir, {dir.file("a.lv2"), "bad name.so"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines(o.err), 1) << o.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.lv2/manifest.ttl")));

    // A file where the folder should be.
    std::ofstream(dir.file("taken")) << "x";
    o = generate(dir, {dir.file("taken"), "orvex.so"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(lines(o.err), 1) << o.err;
    EXPECT_NE(o.err.find("orvex-lv2-ttl: "), std::string::npos);
}

}  // namespace
}  // namespace orvex
