// The password digest, from the first source that has one.
#pragma once

#include <cstddef>

namespace lumagate {

// 0 when `digest` holds a non-empty text, 1 when the password file could
// not be read, or no source gave a password and there is no console to ask
// for one (already reported).
int acquire_password_digest(const char* password_file, char* digest);

// The first line of a file, at most size - 1 bytes; 0 on success, 1 on failure.
int read_password_file(const char* path, char* password, std::size_t size);

// Masked entry at the console; always leaves a terminated text. False,
// with the text empty, when there is no console to ask on (a service).
bool prompt_password(char* password, std::size_t size);

}  // namespace lumagate
