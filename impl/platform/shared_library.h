// What differs between systems in how shared libraries are named and built,
// in one place: the files the outside libraries are opened by, the mark on
// an internal module's entry point, and the thread-local storage model the
// library may ask for. The file names of the library's own modules come
// from moduleFileName (dynload_platform.h).
#ifndef ZU_IMPL_SHARED_LIBRARY_H
#define ZU_IMPL_SHARED_LIBRARY_H

namespace zu {
namespace __ {
namespace platform {

#if defined(_WIN32)
// The names the DLLs of the outside libraries are built with by mingw-w64
// (libtool's lib<name>-<major>.dll, or CMake's lib<name>.dll).
char const* const MARIADB_LIBRARY = "libmariadb.dll";
char const* const SQLCIPHER_LIBRARY = "libsqlcipher-0.dll";
char const* const PCRE2POSIX_LIBRARY = "libpcre2-posix.dll";
char const* const EXPAT_LIBRARY = "libexpat-1.dll";
char const* const MOZJS_LIBRARY = "mozjs-102.dll";
char const* const UDT_LIBRARY = "udt.dll";
// OpenSSL's two DLLs: a DLL's handle finds only its own exports, so the
// crypto functions the TLS code calls are looked up in libcrypto's.
#if defined(_WIN64)
char const* const OPENSSL_LIBRARY = "libssl-3-x64.dll";
char const* const OPENSSL_CRYPTO_LIBRARY = "libcrypto-3-x64.dll";
#else
char const* const OPENSSL_LIBRARY = "libssl-3.dll";
char const* const OPENSSL_CRYPTO_LIBRARY = "libcrypto-3.dll";
#endif
#else
// The versioned sonames the libraries are opened by.
char const* const MARIADB_LIBRARY = "libmariadb.so.3";
char const* const SQLCIPHER_LIBRARY = "libsqlcipher.so.0";
char const* const PCRE2POSIX_LIBRARY = "libpcre2-posix.so.3";
char const* const EXPAT_LIBRARY = "libexpat.so.1";
char const* const MOZJS_LIBRARY = "libmozjs-102.so.0";
char const* const UDT_LIBRARY = "libudt.so.0";
char const* const OPENSSL_LIBRARY = "libssl.so.3";
// libssl's handle finds the libcrypto functions it depends on.
char const* const OPENSSL_CRYPTO_LIBRARY = nullptr;
#endif

}  // namespace platform
}  // namespace __
}  // namespace zu

// Declares the C entry point of an internal module, the one symbol the
// module exports.
#if defined(_WIN32)
#define ZU_MODULE_ENTRY_POINT extern "C" __declspec(dllexport)
#elif defined(__GNUC__) || defined(__clang__)
#define ZU_MODULE_ENTRY_POINT extern "C" __attribute__((visibility("default")))
#else
#define ZU_MODULE_ENTRY_POINT extern "C"
#endif

// A thread-local variable of the library itself, touched often: where the
// system's format allows, its address is fixed at load (ELF's initial-exec
// model) instead of asked of the dynamic loader at each use.
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define ZU_FAST_THREAD_LOCAL __attribute__((tls_model("initial-exec"))) thread_local
#else
#define ZU_FAST_THREAD_LOCAL thread_local
#endif

#endif
