// The standard security handler of PDF (revisions 2 to 6): reading the
// /Encrypt dictionary, authenticating a password, the file key and the
// per-object keys, decrypting and encrypting strings and stream data.
// Public-key and other handlers are recognised and refused by name.
//
// Passwords arrive as UTF-8. Revisions 2 to 4 hash their PDFDocEncoding
// bytes (characters without such a byte: the UTF-8 bytes as given);
// revisions 5 and 6 hash the UTF-8 after a partial SASLprep: non-ASCII
// spaces become U+0020 and the characters mapped to nothing are removed;
// no NFKC normalisation and no check for prohibited characters.
//
// No process-wide state. Random bytes come from the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum crypt_method {
  CRYPT_IDENTITY = 0, // not encrypted (/Identity, /None)
  CRYPT_RC4 = 1,      // /V2 or the V 1/2 algorithm
  CRYPT_AESV2 = 2,    // AES-128 CBC, per-object keys
  CRYPT_AESV3 = 3,    // AES-256 CBC, the file key for every object
};

struct crypt_named_filter {
  std::string name; // crypt filter name in /CF (without the slash)
  int method;       // crypt_method
};

struct pdf_crypt {
  int v = 0;                       // /V
  int r = 0;                       // /R
  size_t key_len = 5;              // file key length in bytes
  int32_t p = 0;                   // /P, the permission bits
  bool encrypt_metadata = true;    // /EncryptMetadata
  std::string o, u, oe, ue, perms; // raw bytes of the password entries
  std::string id0;                 // first /ID string, raw bytes
  int stm_method = CRYPT_IDENTITY; // /StmF for V 4 and 5, else RC4
  int str_method = CRYPT_IDENTITY; // /StrF likewise
  std::vector<crypt_named_filter> filters; // /CF entries (and /Identity)
  std::vector<uint8_t> key;        // file key, once authenticated
  bool owner = false;              // authenticated with the owner password
};

// Reads the /Encrypt dictionary (its text, "<<" to ">>", direct values)
// and the first /ID string. 0 on success; -1 with *err set to a message
// that names what is wrong: an unknown or public-key handler, a missing or
// short /O or /U, an unknown /V, /R or crypt filter method.
int crypt_parse(const char *dict, size_t dict_len, const std::string &id0,
                pdf_crypt *c, std::string *err);

// Authenticates and sets the file key. password NULL: only the empty user
// password is tried. Otherwise the password is tried as the user and then
// as the owner password (an empty user password does not open the file if
// the caller's password is neither). 0 on success, -1 when it does not.
int crypt_authenticate(pdf_crypt *c, const char *password);

// Whether the document may be modified: opened with the owner password,
// or bit 4 of /P set.
bool crypt_may_modify(const pdf_crypt *c);

// The method of a stream given its dictionary text: identity for
// cross-reference streams, for metadata under /EncryptMetadata false and
// for a /Crypt filter naming /Identity (or a named filter's method).
int crypt_stream_method(const pdf_crypt *c, const char *dict, size_t len);

// The key of object num/gen for a method: MD5 of the file key, the object
// number and generation (and "sAlT" for AES), at most 16 bytes; AESV3
// uses the file key itself).
std::vector<uint8_t> crypt_object_key(const pdf_crypt *c, int32_t num,
                                      int32_t gen, int method);

// Decrypts n bytes of a string or stream of object num/gen with the
// method. AES data shorter than its IV decrypts to nothing.
std::vector<uint8_t> crypt_decrypt(const pdf_crypt *c, int32_t num,
                                   int32_t gen, int method,
                                   const uint8_t *in, size_t n);
// Encrypts: RC4 keeps the length, AES prepends a fresh random IV and pads.
// Throws std::runtime_error only if the system gives no random bytes.
std::vector<uint8_t> crypt_encrypt(const pdf_crypt *c, int32_t num,
                                   int32_t gen, int method,
                                   const uint8_t *in, size_t n);

// Rewrites every string of an object's text (literal or hexadecimal, at
// any depth, outside comments) decrypted or encrypted with the string
// method and object num/gen; the results are written as hexadecimal
// strings. The text must not include stream data.
std::string crypt_text_strings(const pdf_crypt *c, int32_t num, int32_t gen,
                               const char *text, size_t len, bool encrypt);

// From a trailer dictionary's text ("<<" first): the value of /Encrypt as
// written ("5 0 R" or an inline dictionary), the value of /ID as written
// and its first string decoded. false when there is no /Encrypt.
bool crypt_trailer_entries(const char *dict, size_t len, std::string *encrypt,
                           std::string *id, std::string *id0);

// n random bytes from the operating system; false if it has none to give.
bool crypt_random(uint8_t *out, size_t n);

// Starts a new output: the AES initialisation vectors that crypt_encrypt
// draws from a buffer of system random bytes (one system call per 256
// vectors) come from a fresh buffer, so that a process forked after an
// output never repeats its parent's vectors.
void crypt_random_fresh();

// Whether an object's text (no stream data) has a string, literal or
// hexadecimal, that encryption would change.
bool crypt_text_has_strings(const char *text, size_t len);

// Password preparation, exposed for the tests. Revisions 2 to 4: the
// PDFDocEncoding bytes (ok false when a character has none); 5 and 6:
// the partial SASLprep described above, truncated to 127 bytes.
std::string crypt_pdfdoc_password(const char *utf8, bool *ok);
std::string crypt_saslprep_password(const char *utf8);
