// Throughput and ratio of the three block codec variants on a text corpus
// (/usr/share/common-licenses) and a binary corpus (files of /usr/bin),
// beside zlib at level 1 on the same bytes in the same run. One line each:
//   codec <variant> <corpus> comp <MB/s> decomp <MB/s> ratio <r> zlib1 comp <MB/s> ratio <r>
// The ratio is plain bytes over compressed bytes (length fields included).
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kernel/codecs/block_codecs.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

struct Variant {
  const char *name;
  void (*comp_new_buf)(void *);
  uint32_t (*comp_block)(void *, uint32_t);
  void (*uncomp_new_buf)(void *);
  uint32_t (*uncomp_block)(void *);
  uint32_t block, comp_work, comp_in, comp_out, uncomp_work, uncomp_in, uncomp_out;
};

const Variant kVariants[] = {
    {"1x3", Comp1x3NewBuf, Comp1x3Block, UnComp1x3NewBuf, UnComp1x3Block,
     Comp1x3Get_SIZEBLOCK(), Comp1x3Get_WORKSIZE(), Comp1x3Get_INPUT(), Comp1x3Get_OUTPUT(),
     UnComp1x3Get_WORKSIZE(), UnComp1x3Get_INPUT(), UnComp1x3Get_OUTPUT()},
    {"2x3", Comp2x3NewBuf, Comp2x3Block, UnComp2x3NewBuf, UnComp2x3Block,
     Comp2x3Get_SIZEBLOCK(), Comp2x3Get_WORKSIZE(), Comp2x3Get_INPUT(), Comp2x3Get_OUTPUT(),
     UnComp2x3Get_WORKSIZE(), UnComp2x3Get_INPUT(), UnComp2x3Get_OUTPUT()},
    {"8x7", Comp8x7NewBuf, Comp8x7Block, UnComp8x7NewBuf, UnComp8x7Block,
     Comp8x7Get_SIZEBLOCK(), Comp8x7Get_WORKSIZE(), Comp8x7Get_INPUT(), Comp8x7Get_OUTPUT(),
     UnComp8x7Get_WORKSIZE(), UnComp8x7Get_INPUT(), UnComp8x7Get_OUTPUT()},
};

// Regular files of `dir` in name order, concatenated up to `limit` bytes.
Bytes corpus(const char *dir, size_t limit) {
  std::vector<fs::path> files;
  for (const auto &e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  Bytes out;
  for (const auto &f : files) {
    std::ifstream in(f, std::ios::binary);
    out.insert(out.end(), std::istreambuf_iterator<char>(in), {});
    if (out.size() >= limit) break;
  }
  out.resize(std::min(out.size(), limit));
  return out;
}

// Seconds per run of `f`, repeated for at least a quarter of a second.
template <typename F>
double seconds_per_run(F &&f) {
  using clock = std::chrono::steady_clock;
  int runs = 0;
  auto start = clock::now();
  double elapsed = 0;
  do {
    f();
    ++runs;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < 0.25);
  return elapsed / runs;
}

double mb_per_s(size_t bytes, double seconds) { return bytes / seconds / 1e6; }

std::vector<Bytes> compress_all(const Variant &v, Bytes &work, const Bytes &plain) {
  std::vector<Bytes> blocks;
  v.comp_new_buf(work.data());
  for (size_t at = 0; at < plain.size(); at += v.block) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(v.block, plain.size() - at));
    std::memcpy(work.data() + v.comp_in, plain.data() + at, n);
    uint32_t size = v.comp_block(work.data(), n);
    const uint8_t *out = work.data() + v.comp_out;
    blocks.emplace_back(out, out + size);
  }
  return blocks;
}

// Decodes every block; false when the plain bytes do not come back.
bool decompress_all(const Variant &v, Bytes &work, const std::vector<Bytes> &blocks,
                    const Bytes &plain) {
  v.uncomp_new_buf(work.data());
  size_t at = 0;
  for (const Bytes &b : blocks) {
    if (b[1] & 0x80) {
      if (std::memcmp(plain.data() + at, b.data() + 2, b.size() - 2) != 0) return false;
      at += b.size() - 2;
      v.uncomp_new_buf(work.data());
      continue;
    }
    std::memcpy(work.data() + v.uncomp_in, b.data(), b.size());
    uint32_t n = v.uncomp_block(work.data());
    if (n == 0xFFFFFFFFu || std::memcmp(plain.data() + at, work.data() + v.uncomp_out, n) != 0)
      return false;
    at += n;
  }
  return at == plain.size();
}

size_t zlib1_size(const Bytes &plain, Bytes &out) {
  uLongf size = compressBound(plain.size());
  out.resize(size);
  compress2(out.data(), &size, plain.data(), plain.size(), 1);
  return size;
}

int run(const char *corpus_name, const Bytes &plain) {
  Bytes zout;
  size_t zsize = 0;
  double zsec = seconds_per_run([&] { zsize = zlib1_size(plain, zout); });
  for (const Variant &v : kVariants) {
    Bytes comp_work(v.comp_work), uncomp_work(v.uncomp_work);
    std::vector<Bytes> blocks;
    double csec = seconds_per_run([&] { blocks = compress_all(v, comp_work, plain); });
    bool ok = true;
    double dsec = seconds_per_run([&] { ok = decompress_all(v, uncomp_work, blocks, plain) && ok; });
    if (!ok) {
      std::fprintf(stderr, "codec %s %s: round trip failed\n", v.name, corpus_name);
      return 1;
    }
    size_t csize = 0;
    for (const Bytes &b : blocks) csize += b.size();
    std::printf("codec %s %s comp %.1f decomp %.1f ratio %.3f zlib1 comp %.1f ratio %.3f\n",
                v.name, corpus_name, mb_per_s(plain.size(), csec), mb_per_s(plain.size(), dsec),
                double(plain.size()) / csize, mb_per_s(plain.size(), zsec),
                double(plain.size()) / zsize);
  }
  return 0;
}

}  // namespace

int main() {
  const Bytes text = corpus("/usr/share/common-licenses", 4u << 20);
  const Bytes binary = corpus("/usr/bin", 4u << 20);
  if (text.empty() || binary.empty()) {
    std::fprintf(stderr, "corpus files not found\n");
    return 1;
  }
  return run("text", text) || run("binary", binary);
}
