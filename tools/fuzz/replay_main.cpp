// Feeds every file of the given directories (or the given files) to the fuzz entry
// function once, so the seed corpus runs as a plain test in every build. Paths are
// made absolute first: a target may change its working directory.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool isDir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string& path, std::vector<std::string>& files)
{
    if (!isDir(path)) {
        files.push_back(path);
        return;
    }
    DIR* d = opendir(path.c_str());
    if (!d)
        return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            collect(path + "/" + name, files);
    }
    closedir(d);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        char full[PATH_MAX];
        if (!realpath(argv[i], full)) {
            fprintf(stderr, "cannot find %s\n", argv[i]);
            return 1;
        }
        collect(full, files);
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        fprintf(stderr, "no corpus files given\n");
        return 1;
    }
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) {
            fprintf(stderr, "cannot read %s\n", f.c_str());
            return 1;
        }
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    printf("replayed %zu inputs\n", files.size());
    return 0;
}
