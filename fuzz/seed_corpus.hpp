// What the seed generators share: the directory named on their command line and the writing of
// one seed file into it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace tarnvel::seeds {

class Corpus {
 public:
  // The directory of `make_*_seeds DIR`, created if missing; exits with a usage line otherwise.
  Corpus(int argc, char** argv) {
    if (argc != 2) {
      std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
      std::exit(2);
    }
    dir_ = argv[1];
    std::filesystem::create_directories(dir_);
  }

  // Writes one seed; a seed that cannot be written stops the generator, so that a fuzzing run
  // never starts from a corpus silently cut short.
  void put(const std::string& name, std::string_view bytes) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "cannot write %s\n", (dir_ / name).c_str());
      std::exit(1);
    }
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace tarnvel::seeds
