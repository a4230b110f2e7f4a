#include "stages/SecretKey.h"

#include <sodium.h>

SecretKey::~SecretKey() { sodium_memzero(bytes.data(), bytes.size()); }
