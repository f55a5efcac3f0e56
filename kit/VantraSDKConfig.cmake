# find_package(VantraSDK): the imported target VantraSDK::VantraSDK for the
# Camera SDK of the folder around this file (<sdk>/lib/cmake/VantraSDK/), so
# the folder can be moved or replaced by a vendor's laid out the same way.
get_filename_component(_vantra_sdk_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

foreach(_vantra_sdk_file include/vantra_sdk.h lib/libVantraSDK.so.1.0)
  if(NOT EXISTS "${_vantra_sdk_root}/${_vantra_sdk_file}")
    set(VantraSDK_FOUND FALSE)
    set(VantraSDK_NOT_FOUND_MESSAGE "${_vantra_sdk_root}/${_vantra_sdk_file} does not exist")
    unset(_vantra_sdk_root)
    unset(_vantra_sdk_file)
    return()
  endif()
endforeach()

if(NOT TARGET VantraSDK::VantraSDK)
  add_library(VantraSDK::VantraSDK SHARED IMPORTED)
  set_target_properties(VantraSDK::VantraSDK PROPERTIES
    IMPORTED_LOCATION "${_vantra_sdk_root}/lib/libVantraSDK.so.1.0"
    IMPORTED_SONAME "libVantraSDK.so.1.0"
    INTERFACE_INCLUDE_DIRECTORIES "${_vantra_sdk_root}/include")
endif()
unset(_vantra_sdk_root)
unset(_vantra_sdk_file)
