#include "config/settings_crypto.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "shell/log.h"

namespace {

constexpr char kAlphabet[] = "aAbBcCdDeEfFgGhHiIjJkKlLmMnNoOpPqQrRsStTuUvVwWxXyYzZ0123456789+=";
static_assert(sizeof(kAlphabet) == 65, "64 digits");

// Value of one digit, or -1 outside the alphabet.
int DigitValue(unsigned char c) {
  if (c >= 'a' && c <= 'z') return (c - 'a') * 2;
  if (c >= 'A' && c <= 'Z') return (c - 'A') * 2 + 1;
  if (c >= '0' && c <= '9') return 52 + (c - '0');
  if (c == '+') return 62;
  if (c == '=') return 63;
  return -1;
}

// The library context holding the default and legacy providers, created once. RC4 lives in the
// legacy provider of OpenSSL 3; loading it into a private context keeps the process-wide default
// context untouched.
class CryptoLibrary {
 public:
  CryptoLibrary() {
    lib_ = OSSL_LIB_CTX_new();
    if (lib_ != nullptr) {
      defaultProvider_ = OSSL_PROVIDER_load(lib_, "default");
      legacyProvider_ = OSSL_PROVIDER_load(lib_, "legacy");
      if (defaultProvider_ == nullptr) {
        // Without the default provider the private context is useless: use the global one.
        Release();
      }
    }
    if (legacyProvider_ != nullptr) rc4_ = EVP_CIPHER_fetch(lib_, "RC4", nullptr);
    ERR_clear_error();  // a missing legacy provider is not an error of any later operation
  }
  ~CryptoLibrary() { Release(); }
  CryptoLibrary(const CryptoLibrary&) = delete;
  CryptoLibrary& operator=(const CryptoLibrary&) = delete;

  OSSL_LIB_CTX* lib() const { return lib_; }  // null means the process-wide default context
  const EVP_CIPHER* rc4() const { return rc4_; }

 private:
  void Release() {
    EVP_CIPHER_free(rc4_);
    rc4_ = nullptr;
    if (legacyProvider_ != nullptr) OSSL_PROVIDER_unload(legacyProvider_);
    if (defaultProvider_ != nullptr) OSSL_PROVIDER_unload(defaultProvider_);
    legacyProvider_ = defaultProvider_ = nullptr;
    OSSL_LIB_CTX_free(lib_);
    lib_ = nullptr;
  }

  OSSL_LIB_CTX* lib_ = nullptr;
  OSSL_PROVIDER* defaultProvider_ = nullptr;
  OSSL_PROVIDER* legacyProvider_ = nullptr;
  EVP_CIPHER* rc4_ = nullptr;
};

const CryptoLibrary& Library() {
  static CryptoLibrary library;
  return library;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

// The library's code for the failure being reported; the queue is emptied afterwards.
int TakeErrorCode() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  return static_cast<int>(code);
}

// RSA public-key "decrypt" (recovery of data made with the private key, PKCS #1 v1.5 padding).
bool RsaPublicDecrypt(EVP_PKEY* key, std::string_view in, std::string& out) {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Library().lib(), key, nullptr));
  if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
    return false;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(in.data());
  size_t size = 0;
  if (EVP_PKEY_verify_recover(ctx.get(), nullptr, &size, data, in.size()) <= 0) return false;
  out.assign(size, '\0');
  if (EVP_PKEY_verify_recover(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &size, data,
                              in.size()) <= 0) {
    out.clear();
    return false;
  }
  out.resize(size);
  return true;
}

bool LibraryRc4(const EVP_CIPHER* cipher, std::string_view key, std::string_view data,
                std::string& out) {
  if (key.size() > INT_MAX || data.size() > INT_MAX) return false;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, 1, nullptr) <= 0 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) <= 0 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                         nullptr, 1, nullptr) <= 0) {
    return false;
  }
  out.assign(data.size(), '\0');
  if (data.empty()) return true;
  int written = 0;
  if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &written,
                       reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) <= 0 ||
      static_cast<size_t>(written) != data.size()) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

bool DecodeSettingsAlphabet(std::string_view text, std::string& out) {
  out.clear();
  const size_t total = text.size() / 4 * 3 + (text.size() % 4) * 3 / 4;  // len * 3 / 4
  out.reserve(total);
  for (size_t group = 0; group < text.size(); group += 4) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
      int value = 0;
      if (group + i < text.size()) {
        value = DigitValue(static_cast<unsigned char>(text[group + i]));
        if (value < 0) {
          out.clear();
          return false;
        }
      }
      bits = (bits << 6) | static_cast<uint32_t>(value);
    }
    for (int shift = 16; shift >= 0 && out.size() < total; shift -= 8) {
      out.push_back(static_cast<char>((bits >> shift) & 0xFF));
    }
  }
  return true;
}

std::string EncodeSettingsAlphabet(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  for (size_t group = 0; group < bytes.size(); group += 3) {
    const size_t count = bytes.size() - group < 3 ? bytes.size() - group : 3;
    uint32_t bits = 0;
    for (size_t i = 0; i < 3; ++i) {
      bits <<= 8;
      if (i < count) bits |= static_cast<unsigned char>(bytes[group + i]);
    }
    // 1 byte needs 2 digits, 2 bytes 3, 3 bytes 4: just enough for len * 3 / 4 to come back.
    for (size_t i = 0; i < count + 1; ++i) text.push_back(kAlphabet[(bits >> (18 - 6 * i)) & 63]);
  }
  return text;
}

bool SplitEncryptedLine(std::string_view decoded, EncryptedLineParts& parts) {
  if (decoded.size() < 2) return false;
  const size_t n = static_cast<unsigned char>(decoded[0]) |
                   (static_cast<size_t>(static_cast<unsigned char>(decoded[1])) << 8);
  if (n == 0 || n + 2 >= decoded.size()) return false;
  parts.wrappedKey = decoded.substr(2, n);
  parts.payload = decoded.substr(2 + n);
  return true;
}

namespace settings_detail {

void Rc4Builtin(std::string_view key, std::string_view data, std::string& out) {
  out.assign(data.size(), '\0');
  if (key.empty()) return;
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (size_t i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s[i] + static_cast<uint8_t>(key[i % key.size()]));
    std::swap(s[i], s[j]);
  }
  uint8_t x = 0, y = 0;
  for (size_t k = 0; k < data.size(); ++k) {
    x = static_cast<uint8_t>(x + 1);
    y = static_cast<uint8_t>(y + s[x]);
    std::swap(s[x], s[y]);
    out[k] = static_cast<char>(static_cast<uint8_t>(data[k]) ^ s[static_cast<uint8_t>(s[x] + s[y])]);
  }
}

bool LibraryRc4Available() { return Library().rc4() != nullptr; }

}  // namespace settings_detail

bool Rc4Transform(std::string_view key, std::string_view data, std::string& out) {
  if (key.empty()) {
    out.clear();
    return false;
  }
  if (const EVP_CIPHER* cipher = Library().rc4()) return LibraryRc4(cipher, key, data, out);
  settings_detail::Rc4Builtin(key, data, out);
  return true;
}

DecryptOutcome DecryptSettingsLine(const std::string& keyPath, std::string_view encoded,
                                   std::string& plain) {
  plain.clear();
  if (keyPath.empty()) {
    LogError("Wrong key filename.");
    return DecryptOutcome::kKeyError;
  }
  std::unique_ptr<std::FILE, FileCloser> keyFile(std::fopen(keyPath.c_str(), "r"));
  if (!keyFile) {
    LogError("Unable to read key file %s", keyPath.c_str());
    return DecryptOutcome::kKeyError;
  }
  ERR_clear_error();
  std::unique_ptr<EVP_PKEY, PkeyFree> key(
      PEM_read_PUBKEY_ex(keyFile.get(), nullptr, nullptr, nullptr, Library().lib(), nullptr));
  keyFile.reset();
  if (!key) {
    ERR_clear_error();
    LogError("Unable to read public key from %s", keyPath.c_str());
    return DecryptOutcome::kKeyError;
  }
  if (!EVP_PKEY_is_a(key.get(), "RSA") && !EVP_PKEY_is_a(key.get(), "RSA-PSS")) {
    ERR_raise(ERR_LIB_EVP, EVP_R_EXPECTING_AN_RSA_KEY);
    LogError("EVP_PKEY_get1_RSA failed with error %d", TakeErrorCode());
    return DecryptOutcome::kKeyError;
  }

  std::string decoded;
  EncryptedLineParts parts;
  if (!DecodeSettingsAlphabet(encoded, decoded) || !SplitEncryptedLine(decoded, parts)) {
    return DecryptOutcome::kNotUsable;
  }
  std::string rc4Key;
  ERR_clear_error();  // the code reported must be this operation's
  if (!RsaPublicDecrypt(key.get(), parts.wrappedKey, rc4Key)) {
    LogError("Decrypt failed with error %d", TakeErrorCode());
    return DecryptOutcome::kKeyError;
  }
  // An empty RC4 key is a malformed line, not a key to run RC4 with.
  if (rc4Key.empty()) return DecryptOutcome::kNotUsable;
  if (!Rc4Transform(rc4Key, parts.payload, plain)) {
    LogError("Decrypt failed with error %d", TakeErrorCode());
    return DecryptOutcome::kKeyError;
  }
  return DecryptOutcome::kDecrypted;
}

bool EncryptSettingsText(EVP_PKEY* privateKey, std::string_view text, std::string& line) {
  line.clear();
  if (privateKey == nullptr || text.empty()) return false;
  unsigned char rc4Key[16];
  if (RAND_bytes(rc4Key, sizeof(rc4Key)) != 1) return false;

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Library().lib(), privateKey, nullptr));
  size_t size = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &size, rc4Key, sizeof(rc4Key)) <= 0) {
    return false;
  }
  std::string wrapped(size, '\0');
  if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&wrapped[0]), &size, rc4Key,
                    sizeof(rc4Key)) <= 0 ||
      size == 0 || size > 0xFFFF) {
    return false;
  }
  wrapped.resize(size);

  std::string payload;
  if (!Rc4Transform(std::string_view(reinterpret_cast<const char*>(rc4Key), sizeof(rc4Key)), text,
                    payload)) {
    return false;
  }
  std::string bytes;
  bytes.reserve(2 + wrapped.size() + payload.size());
  bytes.push_back(static_cast<char>(size & 0xFF));
  bytes.push_back(static_cast<char>(size >> 8));
  bytes += wrapped;
  bytes += payload;
  line = "#" + EncodeSettingsAlphabet(bytes);
  return true;
}
