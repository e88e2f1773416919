// dnsserver-encrypt: turns plain settings lines into encrypted "#" lines for the settings file.
//
//   dnsserver-encrypt -key private.pem [-join] [input-file]
//
// Reads plain settings lines from input-file (or standard input) and writes encrypted lines to
// standard output. Each non-empty input line becomes one encrypted line; with -join the whole input
// becomes a single encrypted line (its lines joined by "\n"). The server opens the lines with the
// public half of the key, stored as <name>.key beside the settings file (dnscfg.key for
// dnscfg.ini). Exit status 0 on success, 1 on any error (nothing is written for a failed input).
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/settings_crypto.h"
#include "config/settings_file.h"

namespace {

constexpr char kUsage[] = "Usage: dnsserver-encrypt -key private.pem [-join] [input-file]\n";

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

bool ReadAll(std::FILE* in, std::string& text) {
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0) text.append(buffer, n);
  return !std::ferror(in);
}

// The input split into lines without their "\n" or "\r\n"; empty lines are dropped.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  const char* keyPath = nullptr;
  const char* inputPath = nullptr;
  bool join = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-key") == 0 && i + 1 < argc) {
      keyPath = argv[++i];
    } else if (std::strcmp(argv[i], "-join") == 0) {
      join = true;
    } else if (argv[i][0] != '-' && inputPath == nullptr) {
      inputPath = argv[i];
    } else {
      std::fputs(kUsage, stderr);
      return 1;
    }
  }
  if (keyPath == nullptr) {
    std::fputs(kUsage, stderr);
    return 1;
  }

  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  {
    std::unique_ptr<std::FILE, FileCloser> keyFile(std::fopen(keyPath, "r"));
    if (!keyFile) {
      std::fprintf(stderr, "dnsserver-encrypt: cannot open key file %s\n", keyPath);
      return 1;
    }
    key.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
    if (!key) {
      std::fprintf(stderr, "dnsserver-encrypt: no private key in %s\n", keyPath);
      return 1;
    }
  }

  std::string input;
  if (inputPath != nullptr) {
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(inputPath, "rb"));
    if (!in || !ReadAll(in.get(), input)) {
      std::fprintf(stderr, "dnsserver-encrypt: cannot read %s\n", inputPath);
      return 1;
    }
  } else if (!ReadAll(stdin, input)) {
    std::fputs("dnsserver-encrypt: cannot read standard input\n", stderr);
    return 1;
  }
  if (input.find('\0') != std::string::npos) {
    std::fputs("dnsserver-encrypt: the input holds a NUL byte; the server would cut the text there\n",
               stderr);
    return 1;
  }

  std::vector<std::string> plain = SplitLines(input);
  if (join && !plain.empty()) {
    std::string all;
    for (const std::string& line : plain) all += (all.empty() ? "" : "\n") + line;
    plain.assign(1, all);
  }

  std::string output;
  for (const std::string& text : plain) {
    std::string line;
    if (!EncryptSettingsText(key.get(), text, line)) {
      std::fputs("dnsserver-encrypt: encryption failed (is the key an RSA private key?)\n", stderr);
      return 1;
    }
    // The server reads at most this many characters as one line.
    if (line.size() > SettingsReader::kMaxLine) {
      std::fprintf(stderr,
                   "dnsserver-encrypt: encrypted line of %zu characters exceeds the %zu the server "
                   "reads; split the input\n",
                   line.size(), SettingsReader::kMaxLine);
      return 1;
    }
    output += line + "\n";
  }
  if (std::fwrite(output.data(), 1, output.size(), stdout) != output.size() ||
      std::fflush(stdout) != 0) {
    std::fputs("dnsserver-encrypt: cannot write the output\n", stderr);
    return 1;
  }
  return 0;
}
