// Replays every file of the folders (or the files) named on the command
// line through a fuzz target, for the normal build and its compiler: what
// the fuzzers once found stays a test.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

std::vector<std::filesystem::path> inputs_in(const char* argument) {
  std::vector<std::filesystem::path> found;
  if (!std::filesystem::is_directory(argument)) return {argument};
  for (const auto& entry : std::filesystem::directory_iterator(argument)) {
    if (entry.is_regular_file()) found.push_back(entry.path());
  }
  return found;
}

}  // namespace

// Defined by the targets that need to prepare; the others leave it out.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  int count = 0;
  for (int index = 1; index < argc; ++index) {
    for (const auto& path : inputs_in(argv[index])) {
      std::ifstream file(path, std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
      std::cerr << "replaying " << path.string() << "\n";
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::cerr << count << " inputs replayed\n";
  return count > 0 ? 0 : 1;
}
