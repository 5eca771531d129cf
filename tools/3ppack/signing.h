// Keys and signatures for the archive trailer. Public keys are read here
// (PEM SubjectPublicKeyInfo, as 3ppack keygen and openssl write them);
// making keys and signing are one file per OS: signing_posix.cpp (OpenSSL's
// libcrypto), signing_win32.cpp (3ppack.exe verifies but does not sign).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// Reads an ECDSA P-256 public key from the PEM file at path into point
// (kPublicPointSize bytes: 0x04, X, Y); a key in compressed or hybrid form
// is converted. False with a message naming the file.
bool ReadPublicKeyFile(const std::string& path, uint8_t* point, std::string* error);

// The uncompressed point (0x04, X, Y) of a P-256 public key given in another
// point form (compressed, hybrid): der is its SubjectPublicKeyInfo. False
// with a message naming path when it is no P-256 key, or (3ppack.exe) the
// form cannot be converted here.
bool UncompressPublicKey(const std::string& path, const std::vector<uint8_t>& der, uint8_t* point,
                         std::string* error);

// Writes NAME.key (the private key, PKCS#8 PEM) and NAME.pub (the public key,
// PEM) for a new P-256 key. Refuses to overwrite either.
bool MakeKeyPair(const std::string& name, std::string* error);

// The public point (kPublicPointSize bytes) of the private key in the PEM
// file at key_path (PKCS#8, or the traditional EC form openssl ecparam
// writes). False with a message naming the file.
bool ReadSigningKeyPoint(const std::string& key_path, uint8_t* point, std::string* error);

// Signs message (ECDSA over its SHA-256) with the private key in the PEM file
// at key_path: signature gets r, s (kSignatureSize bytes).
bool SignMessage(const std::string& key_path, const uint8_t* message, size_t size,
                 uint8_t* signature, std::string* error);

// Appends the trailer to an archive's bytes: its digest, and with a
// non-empty key_path the key id and a signature by that key.
bool AppendTrailer(std::vector<uint8_t>* archive, const std::string& key_path,
                   std::string* error);
