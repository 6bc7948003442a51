// The loader's side of encrypted documents: finding the trailer's /Encrypt
// and /ID, opening the security handler with the caller's password, and
// the decrypted bytes of a stream the loader reads (object streams).
//
// No process-wide state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdf_crypt.h"

struct pdf_doc;
struct pdf_obj;

struct doc_security {
  pdf_crypt crypt;
  int64_t encrypt_num = 0;   // object of the /Encrypt dictionary, 0: inline
  const char *encrypt_dict = nullptr;  // where that object's dictionary was read
  std::string encrypt_entry; // the trailer's /Encrypt value as written
  std::string id_entry;      // the trailer's /ID value as written
};

enum {
  SEC_OPEN = 0,     // authenticated; doc->sec is set
  SEC_PASSWORD = 1, // the password is wrong or missing
  SEC_REFUSED = 2,  // unsupported or damaged; *why tells
};

// Reads the security handler of an encrypted document whose direct objects
// are indexed, and authenticates (password NULL: the empty user password).
int sec_open(pdf_doc *doc, const char *password, std::string *why);
void sec_free(doc_security *sec);

// The bytes of a stream of an encrypted document, decrypted with the
// method its dictionary calls for.
std::vector<uint8_t> sec_stream_data(const doc_security *sec, const pdf_obj *o,
                                     const char *dict, size_t dict_len,
                                     const uint8_t *data, size_t n);
