// Stored files as Python sees their failures: OSError for the file itself, ValueError
// with the format's prefix for what could not be encoded or decoded.
#pragma once

#include <string>

#include "binding/core.hpp"
#include "utils/file.hpp"
#include "utils/postcard.hpp"

namespace brimsel::py {

// Runs `store()`, which writes a postcard file.
template <class Store>
void store_postcard(Store&& store) {
    try {
        store();
    } catch (const FileError& err) {
        raise(PyExc_OSError, err.what());
    } catch (const WriteError&) {
        raise(PyExc_ValueError, "Failed to write postcard data: The serialize buffer is full");
    }
}

// Runs `load()`, which reads a postcard file, and returns what it read.
template <class Load>
auto load_postcard(Load&& load) {
    try {
        return load();
    } catch (const FileError& err) {
        raise(PyExc_OSError, err.what());
    } catch (const postcard::Error& err) {
        raise(PyExc_ValueError, std::string("Failed to read postcard data: ") + err.what());
    }
}

}  // namespace brimsel::py
