// replay_main.cpp: runs a fuzz target's entry point over saved inputs.
//
// Outside fuzzing builds every fuzz target is linked with this driver, and
// ctest runs it over the target's committed corpus directory, so inputs that
// once crashed stay regression tests.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size);

static int runFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return 1;
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            DIR* d = opendir(argv[i]);
            if (!d) continue;
            while (dirent* e = readdir(d)) {
                std::string p = std::string(argv[i]) + "/" + e->d_name;
                struct stat fst;
                if (stat(p.c_str(), &fst) == 0 && S_ISREG(fst.st_mode)) count += runFile(p);
            }
            closedir(d);
        } else {
            count += runFile(argv[i]);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return 0;
}
