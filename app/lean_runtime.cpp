// The Windows installer links the C++ runtime statically, and three of its defaults would bring in
// about half of the executable's code for paths that only ever end the process:
//   - the default terminate handler demangles the exception's type name for a message on standard
//     error (the demangler and a printf implementation), which a GUI program does not have;
//   - the throw helpers of the standard containers (std::__throw_length_error and the like) build
//     std::logic_error-family objects with string messages, which pulls in whole string classes;
//   - std::unique_lock reports its misuse through std::system_error, whose messages bring those
//     string classes again, and the system's error texts.
// Defining these symbols here keeps those library members out of the link. Each definition ends
// the process exactly as the uncaught exception would have: the installer catches std::bad_alloc
// only (extraction reports it as SZ_ERROR_MEM), and that one, with std::bad_array_new_length
// derived from it, is still thrown as such. Linked into the Windows ZyvInstall only; should a new
// catch of another standard exception ever be added, its helper must throw again here.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_system_error(int) { terminate(); }
void __throw_logic_error(const char*) { terminate(); }
void __throw_domain_error(const char*) { terminate(); }
void __throw_invalid_argument(const char*) { terminate(); }
void __throw_length_error(const char*) { terminate(); }
void __throw_out_of_range(const char*) { terminate(); }
void __throw_out_of_range_fmt(const char*, ...) { terminate(); }
void __throw_runtime_error(const char*) { terminate(); }
void __throw_range_error(const char*) { terminate(); }
void __throw_overflow_error(const char*) { terminate(); }
void __throw_underflow_error(const char*) { terminate(); }
}  // namespace std
