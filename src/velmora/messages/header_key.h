// The look-up key of the message header operations: the shared name test
// (vel/header_name.hpp), with a key cache of the module's own.
#pragma once

#include <Python.h>

#include "vel/header_name.hpp"

namespace vel::messages {

inline unsigned char ascii_lower(unsigned char c)
{
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c);
}

class HeaderKey : public vel::HeaderNameKey {
public:
    // `str_lower` is the interned "lower".  False with an exception set
    // (UnicodeEncodeError for a str key with characters above U+00FF).
    bool init(PyObject *key, PyObject *str_lower)
    {
        // Keys are mostly the same few constants: the shared name a key
        // stands for is remembered per key object (held, so that its
        // address is not reused while cached).
        static vel::HeaderKeyCache cache;
        return HeaderNameKey::init(key, str_lower, cache);
    }
};

}  // namespace vel::messages
