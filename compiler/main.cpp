// quillonc: compiles script sources (.qns, .vks) into compiled scripts
// (.qnc) with their listings (.log), and shows compiled files word by word.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/disassembler.h"
#include "compiler/listing.h"
#include "compiler/packer.h"
#include "scripts/image_format.h"

namespace fs = std::filesystem;

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: quillonc [-o OUT.qnc] [--no-listing] [--strict] FILE.qns|FILE.vks ...\n"
               "       quillonc [OPTIONS] --run FILE.qns [PLAYER OPTIONS] [WORDS ...]\n"
               "       quillonc --disassemble FILE.qnc\n"
               "Compiles each script (and the scripts it merges) into FILE.qnc and writes its\n"
               "listing FILE.log beside it. Nothing is written when any script has an error.\n"
               "Options:\n"
               "  -o OUT.qnc      name of the compiled file (one script only)\n"
               "  --no-listing    do not write the listing\n"
               "  --strict        treat warnings as errors (nothing is written when there is one)\n"
               "  --run           compile the script, then run it with the player beside quillonc:\n"
               "                  the player options after the name (--headless, --snapshot FILE ...)\n"
               "                  come before the compiled file, the other words after it (@2, @3 ...);\n"
               "                  the exit status is then the player's\n"
               "  --disassemble   print the token words of a compiled file, one per line\n"
               "  --help          print this help\n"
               "  --version       print the version\n"
               "Sources are Windows-1252, or UTF-8 (with its byte order mark, or valid UTF-8 with\n"
               "characters beyond ASCII): their texts are converted to Windows-1252, the player's\n"
               "code page.\n");
}

struct Output {
  std::string path;
  std::string bytes;
};

std::string replace_extension(const std::string& path, const char* ext) {
  fs::path p(path);
  p.replace_extension(ext);
  return p.string();
}

// The compiled file's name: .qns and .vks become .qnc; any other name gets .qnc in place of its extension.
std::string compiled_name(const std::string& source) {
  std::string mapped = scripts::map_script_name(source);
  return mapped != source ? mapped : replace_extension(source, ".qnc");
}

// Writes beside the target and renames, so that a failed run leaves no half-written file.
bool write_atomically(const Output& o) {
  std::string temp = o.path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(o.bytes.data(), std::streamsize(o.bytes.size()));
    out.close();
    if (!out) {
      std::remove(temp.c_str());
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, o.path, ec);
  if (ec) std::remove(temp.c_str());
  return !ec;
}

int disassemble(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "quillonc: cannot read %s\n", path);
    return 1;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string text;
  if (!compiler::disassemble_image(image, text)) {
    std::fprintf(stderr, "quillonc: %s: %s\n", path, text.c_str());
    return 1;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// The words after `--run FILE`: the player's options (words beginning
// with "--", with the value of those that take one) until the first other
// word or "--"; the rest are the script's command-line words.
void split_player_words(char** begin, char** end, std::vector<std::string>& options,
                        std::vector<std::string>& words) {
  char** w = begin;
  for (; w < end && std::strncmp(*w, "--", 2) == 0; w++) {
    if (!std::strcmp(*w, "--")) {
      w++;
      break;
    }
    options.emplace_back(*w);
    bool valued = !std::strcmp(*w, "--snapshot") || !std::strcmp(*w, "--events") || !std::strcmp(*w, "--desktop");
    if (valued && w + 1 < end) options.emplace_back(*++w);
  }
  for (; w < end; w++) words.emplace_back(*w);
}

// Replaces this process by the player beside quillonc running `compiled`:
// its exit status becomes ours. 1 when it cannot be started.
int run_player(const std::string& compiled, const std::vector<std::string>& options,
               const std::vector<std::string>& words) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  fs::path player = (ec ? fs::path(".") : self.parent_path()) / "quillon";
  std::vector<std::string> args{player.string()};
  args.insert(args.end(), options.begin(), options.end());
  // A name that begins with '-' would read as an option.
  args.push_back(compiled[0] == '-' ? "./" + compiled : compiled);
  args.insert(args.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  execv(player.c_str(), argv.data());
  std::fprintf(stderr, "quillonc: cannot run the player %s: %s\n", player.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_name;
  bool with_listing = true;
  bool strict = false;
  bool run = false;
  std::vector<std::string> player_options, script_words;
  std::vector<std::string> sources;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    if (!std::strcmp(a, "--help")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(a, "--version")) {
      std::printf("quillonc %s\n", QUILLON_VERSION);
      return 0;
    }
    if (!std::strcmp(a, "--disassemble")) {
      if (i + 1 != argc - 1) {
        usage(stderr);
        return 1;
      }
      return disassemble(argv[i + 1]);
    }
    if (!std::strcmp(a, "--no-listing")) {
      with_listing = false;
    } else if (!std::strcmp(a, "--strict")) {
      strict = true;
    } else if (!std::strcmp(a, "--run")) {
      if (++i >= argc) {
        std::fprintf(stderr, "quillonc: --run needs a script\n");
        return 1;
      }
      run = true;
      sources.emplace_back(argv[i]);
      split_player_words(argv + i + 1, argv + argc, player_options, script_words);
      break;
    } else if (!std::strcmp(a, "-o")) {
      if (++i >= argc) {
        std::fprintf(stderr, "quillonc: -o needs a file name\n");
        return 1;
      }
      out_name = argv[i];
    } else if (a[0] == '-' && a[1] != 0) {
      std::fprintf(stderr, "quillonc: unknown option %s\n", a);
      usage(stderr);
      return 1;
    } else {
      sources.emplace_back(a);
    }
  }
  if (sources.empty()) {
    usage(stderr);
    return 1;
  }
  if (run && sources.size() != 1) {
    std::fprintf(stderr, "quillonc: --run runs one script: name it last, after the other options\n");
    return 1;
  }
  if (!out_name.empty() && sources.size() != 1) {
    std::fprintf(stderr, "quillonc: -o names the output of one script only\n");
    return 1;
  }

  bool failed = false;
  std::vector<Output> outputs;
  for (const std::string& source : sources) {
    compiler::SourceFile main;
    if (!compiler::read_source(source, main)) {
      std::fprintf(stderr, "%s: error: cannot read the file\n", source.c_str());
      failed = true;
      continue;
    }
    compiler::Compilation c = compiler::compile_program(main, compiler::load_from_disk);
    bool warned = false;
    for (compiler::Diagnostic d : c.diag.list()) {
      warned |= !d.error;
      d.error |= strict;
      std::fprintf(stderr, "%s\n", compiler::format_diagnostic(d).c_str());
    }
    if (!c.ok() || (strict && warned)) {
      failed = true;
      continue;
    }
    compiler::Packed packed = compiler::pack(c.program);
    if (!packed.error.empty()) {
      std::fprintf(stderr, "%s: error: %s\n", source.c_str(), packed.error.c_str());
      failed = true;
      continue;
    }
    std::vector<uint8_t> image = scripts::build_image(packed.words, packed.names);
    std::string target = out_name.empty() ? compiled_name(source) : out_name;
    outputs.push_back({target, std::string(image.begin(), image.end())});
    if (with_listing) {
      std::string full = fs::absolute(fs::path(target)).lexically_normal().string();
      outputs.push_back({replace_extension(target, ".log"), compiler::listing(c.program, full)});
    }
  }
  if (failed) return 1;
  for (const Output& o : outputs) {
    if (!write_atomically(o)) {
      std::fprintf(stderr, "quillonc: cannot write %s\n", o.path.c_str());
      return 1;
    }
  }
  if (run) return run_player(outputs.front().path, player_options, script_words);
  return 0;
}
