// quillonc: compiles script sources (.qns, .vks) into compiled scripts
// (.qnc) with their listings (.log), and shows compiled files word by word.
#include <unistd.h>

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
               "usage: quillonc [-o OUT.qnc] [--no-listing] FILE.qns|FILE.vks ...\n"
               "       quillonc --disassemble FILE.qnc\n"
               "Compiles each script (and the scripts it merges) into FILE.qnc and writes its\n"
               "listing FILE.log beside it. Nothing is written when any script has an error.\n"
               "Options:\n"
               "  -o OUT.qnc      name of the compiled file (one script only)\n"
               "  --no-listing    do not write the listing\n"
               "  --disassemble   print the token words of a compiled file, one per line\n"
               "  --help          print this help\n"
               "  --version       print the version\n");
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

}  // namespace

int main(int argc, char** argv) {
  std::string out_name;
  bool with_listing = true;
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
    for (const compiler::Diagnostic& d : c.diag.list())
      std::fprintf(stderr, "%s\n", compiler::format_diagnostic(d).c_str());
    if (!c.ok()) {
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
  return 0;
}
