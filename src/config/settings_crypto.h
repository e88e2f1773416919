// Encrypted lines of the settings file. A line "#<text>" carries, in the settings alphabet (a
// base-64 style encoding of its own, below), the bytes
//   [N: 16-bit little-endian][N bytes: an RC4 key, RSA private-key encrypted, PKCS #1 v1.5 padding]
//   [the plain settings text, RC4-encrypted with that key]
// and is opened with the RSA public key kept beside the settings file (PEM "PUBLIC KEY").
// Owns: the alphabet codec, the split of a decoded line, RC4, decryption with a key file (and its
// failure messages), and the producer side used by the dnsserver-encrypt tool.
// Does not own: reading the settings file or parsing the plain text (settings_file.h).
// Thread safety: no shared mutable state apart from a library context created once on first use;
// every function may be called from several threads.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

// The 64 digits in value order: a A b B ... z Z 0-9 + =. "=" is an ordinary digit; no padding.
// Each group of 4 characters gives 24 bits written as up to 3 bytes, most significant first;
// missing characters at the end count as 0; the output is len * 3 / 4 bytes (rounded down).
// False, with out cleared, when a character is outside the alphabet.
bool DecodeSettingsAlphabet(std::string_view text, std::string& out);
// The inverse: the shortest text that decodes to exactly these bytes.
std::string EncodeSettingsAlphabet(std::string_view bytes);

// The two parts of a decoded encrypted line. Views into the decoded bytes.
struct EncryptedLineParts {
  std::string_view wrappedKey;  // N bytes for the RSA public-key decryption
  std::string_view payload;     // the RC4-encrypted text, at least one byte
};
// Reads the length field: true when N is not 0 and 2 + N is less than the length of decoded.
// This is the one place where the length field is checked against the data.
bool SplitEncryptedLine(std::string_view decoded, EncryptedLineParts& parts);

// RC4 over data with key (not empty). Uses the library's RC4 (legacy provider, loaded into a
// private library context); when that provider is missing, a built-in RC4 gives the same output.
// False only when the library reports an error.
bool Rc4Transform(std::string_view key, std::string_view data, std::string& out);

enum class DecryptOutcome {
  kNotUsable,  // malformed line (alphabet, length field, empty key): the line stays as it was
  kDecrypted,  // plain holds the decrypted text
  kKeyError,   // a key or decryption failure, already logged: reading the file stops
};
// Decrypts the characters after the "#" of an encrypted line with the public key in the file
// keyPath (opened for every line). Logs "Wrong key filename." (empty keyPath), "Unable to read key
// file %s", "Unable to read public key from %s", "EVP_PKEY_get1_RSA failed with error %d" and
// "Decrypt failed with error %d" as the failures occur.
DecryptOutcome DecryptSettingsLine(const std::string& keyPath, std::string_view encoded,
                                   std::string& plain);

// The producer: encrypts text (not empty) with a fresh random 16-byte RC4 key wrapped with the RSA
// private key, and returns the whole line, "#" included. False when the key cannot sign raw data
// with PKCS #1 v1.5 padding (not an RSA private key) or the random source fails.
bool EncryptSettingsText(EVP_PKEY* privateKey, std::string_view text, std::string& line);

namespace settings_detail {
// The built-in RC4, also used to check the library's.
void Rc4Builtin(std::string_view key, std::string_view data, std::string& out);
// True when the library's RC4 could be fetched (legacy provider present).
bool LibraryRc4Available();
}  // namespace settings_detail
