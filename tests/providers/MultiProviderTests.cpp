#include <background/core/Format.hpp>
#include <background/providers/MultiProvider.hpp>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::TempDir;

TEST(MultiProvider, TheSameFilesReachedTwiceAreRefused) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto data = dir.path() / "data";
    std::filesystem::create_directory(data);
    testing::write_simulation_file(data / "x.xcd", 1);
    std::filesystem::create_directory_symlink(data, dir.path() / "link");
    for (const auto& second : {data, dir.path() / "link"}) {
        SCOPED_TRACE(second.string());
        MultiProvider multi(-1, 1.0, false);
        multi.add_dataset(data, -1);
        EXPECT_THROW_MSG(multi.add_dataset(second, -1), std::runtime_error,
                         "Datasets contain files with same hashes!\nFile A: " + (data / "x.xcd").string() +
                             "\nFile B: " + (second / "x.xcd").string());
        EXPECT_EQ(multi.get_all_metadata().size(), 1u);  // the refused dataset was not added
    }
}

TEST(MultiProvider, RequestsGoToTheDatasetHoldingTheFileAndListsFollowTheAddOrder) {
    REQUIRE_XCDF();
    TempDir dir;
    std::filesystem::create_directories(dir.path() / "one");
    std::filesystem::create_directories(dir.path() / "two");
    const unsigned long a = testing::reference_file_key(testing::write_simulation_file(dir.path() / "one/a.xcd", 1));
    const unsigned long b = testing::reference_file_key(testing::write_simulation_file(dir.path() / "one/b.xcd", 1));
    const unsigned long c = testing::reference_file_key(testing::write_simulation_file(dir.path() / "two/c.xcd", 3));
    MultiProvider multi(-1, 1.0, false);
    multi.add_dataset(dir.path() / "one", 1);
    multi.add_dataset(dir.path() / "two", -1);

    std::vector<unsigned long> uids;
    for (const Metadata& md : multi.get_all_metadata()) uids.push_back(md.uid);
    EXPECT_EQ(uids, (std::vector<unsigned long>{std::min(a, b) + 1, c + 1, c + 2, c + 3}));
    EXPECT_EQ(multi.get_metadata(c + 3).energy, 300.0);
    EXPECT_EQ(multi.get_pe_list(c + 3), (PEList{{0, {0.0}}, {7, {2.0}}}));
    EXPECT_EQ(multi.get_metadata(b + 1).uid, b + 1);
    EXPECT_THROW_MSG(multi.get_metadata(5), std::out_of_range, "Shower with UID 5 not found!");
}

TEST(MultiProvider, WithoutDatasetsNothingIsFound) {
    MultiProvider multi(3, 1.0, false);
    EXPECT_TRUE(multi.get_all_metadata().empty());
    EXPECT_THROW_MSG(multi.get_pe_list(65537), std::out_of_range, "Shower with UID 65537 not found!");
    EXPECT_THROW_MSG(MultiProvider(0, -2.0, false), std::invalid_argument,
                     "Setting cutoff_interval = -2 is not positive!");
}

TEST(MultiProvider, DisabledBuildFailsAddingADatasetAfterItsChecks) {
#if BACKGROUND_WITH_XCDF
    GTEST_SKIP() << "built with XCDF support";
#else
    TempDir dir;
    testing::write_simulation_file(dir.path() / "a.xcd", 1);
    MultiProvider multi(-1, 1.0, false);
    EXPECT_THROW_MSG(multi.add_dataset(dir.path() / "none", -1), std::ios_base::failure,
                     (dir.path() / "none").string() + " is no directory!");
    EXPECT_THROW_MSG(multi.add_dataset(dir.path(), -1), std::runtime_error, "XCDF support disabled at build time!");
#endif
}

}  // namespace
}  // namespace background
