// SPDX-License-Identifier: MIT
// Runs a fuzz target once on each file named, or on every file in each
// directory named: the seed corpus and past findings, as a regression
// test in every build, with or without sanitizers.
#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "statpipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool replay_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> input;
    int c;
    while ((c = getc(f)) != EOF)
        input.push_back(static_cast<uint8_t>(c));
    if (fclose(f) != 0)
        return false;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return true;
}

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr) {
            if (!replay_file(argv[i])) {
                diagnose("cannot read %s\n", argv[i]);
                return 1;
            }
            replayed++;
            continue;
        }
        errno = 0;
        // cppcheck-suppress readdirCalled ; one thread, and readdir_r is deprecated
        while (const dirent *entry = readdir(dir)) {
            std::string path = std::string(argv[i]) + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && !replay_file(path)) {
                diagnose("cannot read %s\n", path.c_str());
                return 1;
            }
            replayed += entry->d_name[0] != '.';
            errno = 0;  // the target may have set it
        }
        bool listed = errno == 0;
        closedir(dir);
        if (!listed) {
            diagnose("cannot list %s\n", argv[i]);  // a 32-bit build without large files, say
            return 1;
        }
    }
    if (printf("replayed %d inputs\n", replayed) < 0)
        return 1;
    return replayed > 0 ? 0 : 1;  // an empty corpus tests nothing
}
