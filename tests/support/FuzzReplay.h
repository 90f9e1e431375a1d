// The model-checked fuzz targets, replayed over their corpus (the hand-made seeds and the
// minimised set) by the unit tests: every check of a target's model runs on every input.
// Include this, then the target's source with LLVMFuzzerTestOneInput renamed.
#pragma once

#define FUZZ_REPLAY 1

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../fuzz/FuzzInput.h"
#include "support/AllocationCounter.h"
#include "support/TestPlatform.h"

namespace zelmar::test {

// Runs `target` on every file of fuzz/corpus/<name>, adding the heap allocations it made to
// `allocations` when given; returns how many inputs were run.
inline size_t ReplayCorpus(const char* name, int (*target)(const uint8_t*, size_t), uint64_t* allocations = nullptr) {
    std::string dir = ZELMAR_TESTDATA_DIR;  // <source>/tests/data
    dir = dir.substr(0, dir.rfind("/tests/")) + "/fuzz/corpus/" + name;
    std::vector<std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            if (entry->d_name[0] != '.') files.push_back(entry->d_name);
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        const std::vector<uint8_t> input = ReadFile(dir + "/" + file);
        try {
            ScopedAllocationCount count;
            target(input.data(), input.size());
            if (allocations != nullptr) *allocations += count.count();
        } catch (const fuzz::CheckFailed&) {
            ADD_FAILURE() << "the model disagrees on " << dir << "/" << file;
        }
    }
    return files.size();
}

}  // namespace zelmar::test
