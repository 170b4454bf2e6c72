file(STRINGS "$ENV{TAMREL_ZIG_PREFIX}/include-deps/boost/version.hpp" _line
     REGEX "^#define BOOST_LIB_VERSION \"[0-9_]+\"")
string(REGEX REPLACE ".*\"([0-9]+)_([0-9]+).*" "\\1.\\2" PACKAGE_VERSION "${_line}")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
