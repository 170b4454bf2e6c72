# Boost's headers from Debian's libboost-dev (only header-only parts are used).
if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "$ENV{TAMREL_ZIG_PREFIX}/include-deps")
endif()
set(Boost_FOUND TRUE)
