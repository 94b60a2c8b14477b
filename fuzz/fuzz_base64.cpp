// Base64Decode, the decoder of the VSTATUS: payload, against a reference decoder.
//  - The input bytes, Base64-encoded with padding, must decode back to themselves.
//  - The input itself, when it is well-formed Base64 (alphabet only, whole groups of four,
//    padding only at the end), must decode as the reference decodes it.
//  - Any input at all, of any length, must decode without reading or writing outside its
//    buffers: the output buffer is 3/4 of the input rounded up, plus 3 bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kvmon.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void Fail(const char* what)
{
    fprintf(stderr, "fuzz_base64: %s\n", what);
    abort();
}

std::string Encode(const uint8_t* data, size_t size)
{
    std::string out;
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        unsigned v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += kAlphabet[v & 63];
    }
    if (size - i == 1) {
        unsigned v = data[i] << 16;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += "==";
    } else if (size - i == 2) {
        unsigned v = data[i] << 16 | data[i + 1] << 8;
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += kAlphabet[v >> 6 & 63];
        out += '=';
    }
    return out;
}

int Value(char c)
{
    const char* p = c != '\0' ? strchr(kAlphabet, c) : NULL;
    return p != NULL ? (int)(p - kAlphabet) : -1;
}

// Reference decoder: false when the text is not well-formed. Bits left over in a padded
// group are dropped, as every lenient decoder does.
bool Decode(const char* text, size_t size, std::vector<uint8_t>* out)
{
    if (size % 4 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < size; i += 4) {
        bool last = i + 4 == size;
        int pad = (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=');
        if (pad > 0 && !last)
            return false;
        int v[4];
        for (int k = 0; k < 4 - pad; k++) {
            v[k] = Value(text[i + k]);
            if (v[k] < 0)
                return false;
        }
        unsigned bits = v[0] << 18 | v[1] << 12 | (pad < 2 ? v[2] << 6 : 0) | (pad < 1 ? v[3] : 0);
        out->push_back((uint8_t)(bits >> 16));
        if (pad < 2)
            out->push_back((uint8_t)(bits >> 8));
        if (pad < 1)
            out->push_back((uint8_t)bits);
    }
    return true;
}

// Base64Decode on exactly `size` bytes of heap, into exactly the documented output size.
std::vector<uint8_t> RunDecoder(const char* text, size_t size)
{
    char* in = (char*)malloc(size + 1);
    memcpy(in, text, size);
    in[size] = '\0';
    size_t room = (size * 3 + 3) / 4 + 3;
    BYTE* out = (BYTE*)malloc(room);
    DWORD len = (DWORD)size;
    Base64Decode(in, &len, out);
    if (len > size / 4 * 3)
        Fail("more output than whole groups of input give");
    std::vector<uint8_t> result(out, out + len);
    free(in);
    free(out);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;

    // Round trip of well-formed text made from the input.
    std::string encoded = Encode(data, size);
    std::vector<uint8_t> decoded = RunDecoder(encoded.data(), encoded.size());
    if (decoded != std::vector<uint8_t>(data, data + size))
        Fail("round trip differs");

    // The input as text: well-formed inputs agree with the reference; others only must not fault.
    std::vector<uint8_t> expected;
    std::vector<uint8_t> actual = RunDecoder((const char*)data, size);
    if (Decode((const char*)data, size, &expected) && actual != expected)
        Fail("decoder differs from the reference on well-formed input");
    return 0;
}
