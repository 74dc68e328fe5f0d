# The system libraries the library links, found once and handed on through the ld_deps target.

find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(SQLCIPHER REQUIRED IMPORTED_TARGET sqlcipher)
# ICU folds case and diacritics for the store's text comparisons.
pkg_check_modules(ICU REQUIRED IMPORTED_TARGET icu-uc icu-i18n)

add_library(ld_deps INTERFACE)
target_link_libraries(ld_deps INTERFACE OpenSSL::Crypto PkgConfig::LIBXML2 PkgConfig::SQLCIPHER
        Threads::Threads)
target_link_libraries(ld_deps INTERFACE PkgConfig::ICU)
# asio is header-only and used without boost.
target_compile_definitions(ld_deps INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
