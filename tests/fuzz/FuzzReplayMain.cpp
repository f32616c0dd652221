// Replays every fuzz target over its checked-in inputs: the seed corpus in
// corpus/<target>/ and the inputs that once found a defect in
// regressions/<target>/. Runs in the normal test suite, plain and under the
// sanitizers, so a decoder that breaks on any of them fails the build.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FuzzTarget.h"

namespace quorin_test {

namespace {

std::map<std::string, FuzzEntry>& registry() {
    static std::map<std::string, FuzzEntry> targets;
    return targets;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return files;
    }
    while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            files.push_back(dir + "/" + name);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>());
}

class ReplayTest : public ::testing::Test {
public:
    ReplayTest(std::string name, FuzzEntry entry) : m_name(std::move(name)), m_entry(entry) {}

    void TestBody() override {
        const std::vector<std::string> seeds =
            filesIn(std::string(QUORIN_FUZZ_DIR) + "/corpus/" + m_name);
        const std::vector<std::string> found =
            filesIn(std::string(QUORIN_FUZZ_DIR) + "/regressions/" + m_name);
        // A target without seeds would pass without running anything.
        ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << m_name;
        for (const std::vector<std::string>* list : {&seeds, &found}) {
            for (const std::string& path : *list) {
                SCOPED_TRACE(path);
                const std::vector<uint8_t> input = readFile(path);
                // Copied to a buffer of exactly its size, as libFuzzer does.
                std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size() + 1]);
                std::copy(input.begin(), input.end(), exact.get());
                EXPECT_EQ(m_entry(exact.get(), input.size()), 0);
            }
        }
    }

private:
    std::string m_name;
    FuzzEntry m_entry;
};

}  // namespace

FuzzTargetRegistration::FuzzTargetRegistration(const char* name, FuzzEntry entry) {
    registry()[name] = entry;
}

}  // namespace quorin_test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (const auto& target : quorin_test::registry()) {
        const std::string name = target.first;
        const quorin_test::FuzzEntry entry = target.second;
        ::testing::RegisterTest("FuzzReplay", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                                [name, entry]() -> ::testing::Test* {
                                    return new quorin_test::ReplayTest(name, entry);
                                });
    }
    return RUN_ALL_TESTS();
}
