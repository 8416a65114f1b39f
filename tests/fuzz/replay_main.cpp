// Runs every file of the directories (or the files) named on the command
// line through LLVMFuzzerTestOneInput once: the fuzz targets' seeds and
// kept crash inputs replay as an ordinary test without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  bool ok = true;
  for (int i = 1; i < argc; i++) {
    std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file() || entry.path().filename() == ".keep") continue;
        ok = replay(entry.path()) && ok;
        count++;
      }
    } else {
      ok = replay(arg) && ok;
      count++;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return ok ? 0 : 1;
}
