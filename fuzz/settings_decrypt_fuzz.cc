// Fuzz target for encrypted settings lines. The input is the text after the "#" of a line: it goes
// through the settings alphabet decoder, the length field check and the whole decryption with a
// real public key made at start. An input whose first byte is 0x01 is instead a plain text that
// is encrypted with the matching private key and must decrypt back to itself.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/settings_crypto.h"

namespace {

struct FuzzKey {
  EVP_PKEY* privateKey = nullptr;
  std::string publicPath;

  FuzzKey() {
    privateKey = EVP_RSA_gen(1024);
    char pattern[] = "/tmp/settings_decrypt_fuzz_keyXXXXXX";
    int fd = mkstemp(pattern);
    if (privateKey == nullptr || fd < 0) std::abort();
    publicPath = pattern;
    FILE* f = fdopen(fd, "w");
    if (f == nullptr || PEM_write_PUBKEY(f, privateKey) != 1) std::abort();
    std::fclose(f);
  }
  ~FuzzKey() {
    unlink(publicPath.c_str());
    EVP_PKEY_free(privateKey);
  }
};

FuzzKey& Key() {
  static FuzzKey key;
  return key;
}

void CheckDecoder(std::string_view text) {
  std::string decoded;
  if (!DecodeSettingsAlphabet(text, decoded)) {
    if (!decoded.empty()) std::abort();
    return;
  }
  if (decoded.size() != text.size() * 3 / 4) std::abort();
  std::string again;
  if (!DecodeSettingsAlphabet(EncodeSettingsAlphabet(decoded), again) || again != decoded) {
    std::abort();
  }
  EncryptedLineParts parts;
  if (SplitEncryptedLine(decoded, parts)) {
    if (parts.wrappedKey.empty() || parts.payload.empty() ||
        2 + parts.wrappedKey.size() + parts.payload.size() != decoded.size()) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  FuzzKey& key = Key();
  std::string plain;
  if (size > 0 && data[0] == 0x01) {
    const std::string_view text = input.substr(1);
    std::string line;
    if (!EncryptSettingsText(key.privateKey, text, line)) {
      if (!text.empty()) std::abort();
      return 0;
    }
    CheckDecoder(std::string_view(line).substr(1));
    if (DecryptSettingsLine(key.publicPath, std::string_view(line).substr(1), plain) !=
            DecryptOutcome::kDecrypted ||
        plain != text) {
      std::abort();
    }
    return 0;
  }
  CheckDecoder(input);
  DecryptSettingsLine(key.publicPath, input, plain);
  return 0;
}
