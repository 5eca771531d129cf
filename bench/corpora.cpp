// The benchmarks' corpora. See corpora.h.
#include "corpora.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

using Random = std::mt19937;

int Uniform(Random& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

// Index 0..count-1 with probability about 1 / (index + 1).
int Zipf(Random& random, int count) {
  double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  int index = static_cast<int>(std::exp(u * std::log(static_cast<double>(count) + 1.0))) - 1;
  return index < 0 ? 0 : (index >= count ? count - 1 : index);
}

void Append(std::vector<uint8_t>& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

void AppendLittleEndian(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> MakeTextCorpus(size_t size) {
  Random random(1);
  const std::string letters = "etaoinshrdlcumwfgypbvkjxqz";
  std::vector<std::string> words(5000);
  for (std::string& word : words) {
    int length = Uniform(random, 1, 4) + Uniform(random, 0, 6);
    for (int i = 0; i < length; ++i) word += letters[Zipf(random, 26)];
  }
  std::vector<uint8_t> out;
  out.reserve(size + 64);
  int column = 0;
  bool sentence_start = true;
  while (out.size() < size) {
    std::string word = words[Zipf(random, static_cast<int>(words.size()))];
    if (Uniform(random, 0, 60) == 0) word = std::to_string(Uniform(random, 0, 99999));
    if (sentence_start)
      word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    sentence_start = false;
    int mark = Uniform(random, 0, 40);
    if (mark < 3) {
      word += '.';
      sentence_start = true;
    } else if (mark < 6) {
      word += ',';
    }
    column += static_cast<int>(word.size()) + 1;
    Append(out, word);
    if (column > 72) {
      Append(out, Uniform(random, 0, 8) == 0 ? "\r\n\r\n" : "\r\n");
      column = 0;
    } else {
      out.push_back(' ');
    }
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> MakeExecutableCorpus(size_t size) {
  Random random(2);
  std::vector<uint8_t> opcodes = {0x8B, 0x89, 0xE8, 0x83, 0x85, 0x74, 0x75, 0xFF, 0x50,
                                  0x51, 0x52, 0x53, 0x55, 0x56, 0x57, 0x5D, 0x5E, 0x5F,
                                  0xC3, 0x33, 0x3B, 0x8D, 0x6A, 0x68, 0xEB, 0x0F, 0xC7,
                                  0x81, 0x84, 0x80, 0x2B, 0x03, 0xC1, 0xA1, 0xB8, 0xE9};
  std::vector<uint8_t> out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    int section = Uniform(random, 0, 9);
    if (section < 6) {  // code
      for (int i = Uniform(random, 200, 4000); i > 0; --i) {
        out.push_back(opcodes[Zipf(random, static_cast<int>(opcodes.size()))]);
        int operand = Uniform(random, 0, 9);
        if (operand < 4) out.push_back(static_cast<uint8_t>(0x40 + Zipf(random, 64)));
        if (operand == 4) AppendLittleEndian(out, static_cast<uint32_t>(Zipf(random, 4096)), 4);
        if (operand == 5)
          AppendLittleEndian(
              out, 0x00400000u + static_cast<uint32_t>(Uniform(random, 0, 0xFFFF)) * 4, 4);
        if (operand == 6) AppendLittleEndian(out, static_cast<uint32_t>(-Zipf(random, 256)), 4);
      }
    } else if (section < 8) {  // strings and import names
      for (int i = Uniform(random, 10, 200); i > 0; --i) {
        int length = Uniform(random, 3, 24);
        for (int c = 0; c < length; ++c) {
          out.push_back(
              static_cast<uint8_t>(c == 0 ? 'A' + Uniform(random, 0, 25) : 'a' + Zipf(random, 26)));
        }
        out.push_back(0);
        if (Uniform(random, 0, 1)) out.push_back(0);
      }
    } else if (section == 8) {  // a table of small structured records
      for (int i = Uniform(random, 50, 800); i > 0; --i) {
        AppendLittleEndian(out, static_cast<uint32_t>(0x3000 | Uniform(random, 0, 0xFFF)), 2);
        AppendLittleEndian(out, static_cast<uint32_t>(Zipf(random, 300)), 2);
      }
    } else {  // padding to the next 512-byte boundary, at times a whole page
      size_t pad = 512 - out.size() % 512 + (Uniform(random, 0, 3) == 0 ? 4096 : 0);
      out.insert(out.end(), pad, 0);
    }
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> MakeBitmapCorpus(size_t size) {
  Random random(3);
  const int width = 1024;
  size_t header = 14 + 40 + 1024;
  int height = static_cast<int>((size - header) / width) + 1;
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height, 7);
  // Background bands of slowly changing shades.
  for (int y = 0; y < height; ++y) {
    uint8_t shade = static_cast<uint8_t>(16 + (y / 37) % 40);
    for (int x = 0; x < width; ++x)
      pixels[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(shade + x / 256);
  }
  // Filled rectangles and circles.
  for (int shape = height / 4; shape > 0; --shape) {
    int cx = Uniform(random, 0, width - 1);
    int cy = Uniform(random, 0, height - 1);
    int r = Uniform(random, 4, 90);
    uint8_t color = static_cast<uint8_t>(Uniform(random, 60, 255));
    bool circle = Uniform(random, 0, 1);
    for (int y = std::max(0, cy - r); y < std::min(height, cy + r); ++y) {
      for (int x = std::max(0, cx - r); x < std::min(width, cx + r); ++x) {
        if (circle && (x - cx) * (x - cx) + (y - cy) * (y - cy) > r * r) continue;
        pixels[static_cast<size_t>(y) * width + x] = color;
      }
    }
  }
  // Dithered patches, like scanned or photographic parts.
  for (int patch = height / 40; patch > 0; --patch) {
    int x0 = Uniform(random, 0, width - 129);
    int y0 = Uniform(random, 0, height - 1);
    for (int y = y0; y < std::min(height, y0 + 64); ++y) {
      for (int x = x0; x < x0 + 128; ++x)
        pixels[static_cast<size_t>(y) * width + x] =
            static_cast<uint8_t>(100 + Uniform(random, 0, 15));
    }
  }
  std::vector<uint8_t> out;
  out.reserve(size + width);
  Append(out, "BM");
  AppendLittleEndian(out, static_cast<uint32_t>(size), 4);
  AppendLittleEndian(out, 0, 4);
  AppendLittleEndian(out, static_cast<uint32_t>(header), 4);
  AppendLittleEndian(out, 40, 4);
  AppendLittleEndian(out, width, 4);
  AppendLittleEndian(out, static_cast<uint32_t>(height), 4);
  AppendLittleEndian(out, 1 | (8 << 16), 4);
  for (int i = 0; i < 6; ++i) AppendLittleEndian(out, i == 3 ? 256 : 0, 4);
  for (int i = 0; i < 256; ++i) AppendLittleEndian(out, static_cast<uint32_t>(i * 0x010101), 4);
  out.insert(out.end(), pixels.begin(), pixels.end());
  out.resize(size);
  return out;
}

bool LoadCorpora(size_t size, const std::string& folder, std::vector<Corpus>* corpora,
                 std::string* error) {
  corpora->clear();
  corpora->push_back({"text", MakeTextCorpus(size)});
  corpora->push_back({"executable", MakeExecutableCorpus(size)});
  corpora->push_back({"bitmap", MakeBitmapCorpus(size)});
  for (const char* name : {"windows-dll", "man-cp932", "icons-bmp"}) {
    std::string path = folder + "/" + name + "-" + std::to_string(size) + ".bin";
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    if (data.size() != size) {
      *error = path + " is missing or not " + std::to_string(size) +
               " bytes (bench/make_corpora.py makes it)";
      return false;
    }
    corpora->push_back({name, std::move(data)});
  }
  return true;
}
