# spandsp's packet loss concealer (G.711 Appendix I style) for the codec
# layer: quillon_spandsp_plc.
#
# Built from Debian's spandsp source package by build-spandsp-plc.sh into
# QUILLON_SPANDSP_PLC_DIR, beside the other third-party libraries in the
# same cache (its own prefix and stamp, the same source cache), the first
# time a tree is configured (a few seconds): only src/plc.c, for Windows
# cross-compiled, natively with the same recipe. Natively, when that build
# fails (no network and no cached source) or QUILLON_OWN_SPANDSP_PLC is OFF,
# Debian's libspandsp-dev is linked instead when it is installed: the same
# version and functions (that library as a whole also brings libtiff).
#
# Included from callctl/CMakeLists.txt whether or not the audio libraries
# are built: G.711 always has its concealment.

if(DEFINED ENV{QUILLON_CACHE})
    set(_plc_cache $ENV{QUILLON_CACHE})
else()
    set(_plc_cache $ENV{HOME}/.cache/quillon)
endif()
set(_plc_script ${CMAKE_CURRENT_LIST_DIR}/build-spandsp-plc.sh)
if(WIN32)
    set(_plc_host i686-w64-mingw32)
    set(_plc_args ${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake)
    set(_plc_own TRUE)
else()
    set(_plc_host ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
    set(_plc_args "")
    option(QUILLON_OWN_SPANDSP_PLC "build spandsp's plc.c from Debian's sources (else link Debian's libspandsp)" ON)
    set(_plc_own ${QUILLON_OWN_SPANDSP_PLC})
endif()
set(QUILLON_SPANDSP_PLC_DIR ${_plc_cache}/thirdparty/${_plc_host}-spandsp-plc CACHE PATH
    "static spandsp packet loss concealer for ${_plc_host} (built by callctl/dsp/build-spandsp-plc.sh)")

set(_plc_ok FALSE)
if(_plc_own)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${_plc_script} ${CMAKE_CURRENT_LIST_DIR}/debian-source.sh)
    # The stamp names the recipe's hash (the script and debian-source.sh):
    # a changed recipe rebuilds the cache.
    file(READ ${_plc_script} _plc_text)
    file(READ ${CMAKE_CURRENT_LIST_DIR}/debian-source.sh _plc_fetch)
    string(SHA256 _plc_recipe "${_plc_text}${_plc_fetch}")
    string(SUBSTRING ${_plc_recipe} 0 16 _plc_recipe)
    set(_plc_stamp ${QUILLON_SPANDSP_PLC_DIR}/quillon-thirdparty.stamp)
    set(_plc_built "")
    if(EXISTS ${_plc_stamp})
        file(STRINGS ${_plc_stamp} _plc_built LIMIT_COUNT 1)
    endif()
    set(_plc_rc 0)
    if(NOT _plc_built STREQUAL "recipe ${_plc_recipe}")
        message(STATUS "Building spandsp's packet loss concealer for ${_plc_host} into ${QUILLON_SPANDSP_PLC_DIR}")
        execute_process(COMMAND sh ${_plc_script} ${QUILLON_SPANDSP_PLC_DIR} ${_plc_args}
                        RESULT_VARIABLE _plc_rc)
    endif()
    if(_plc_rc EQUAL 0)
        set(_plc_ok TRUE)
    elseif(WIN32)
        message(FATAL_ERROR "build-spandsp-plc.sh failed (${_plc_rc})")
    else()
        message(WARNING "build-spandsp-plc.sh failed (${_plc_rc}); linking Debian's libspandsp instead")
    endif()
endif()

if(_plc_ok)
    add_library(quillon_spandsp_plc STATIC IMPORTED)
    set_target_properties(quillon_spandsp_plc PROPERTIES
        IMPORTED_LOCATION ${QUILLON_SPANDSP_PLC_DIR}/lib/libspandsp_plc.a
        INTERFACE_INCLUDE_DIRECTORIES ${QUILLON_SPANDSP_PLC_DIR}/include)
    if(NOT WIN32)
        set_target_properties(quillon_spandsp_plc PROPERTIES INTERFACE_LINK_LIBRARIES m)
    endif()
else()
    find_path(SPANDSP_INCLUDE_DIR spandsp/plc.h)
    find_library(SPANDSP_LIBRARY spandsp)
    if(NOT SPANDSP_INCLUDE_DIR OR NOT SPANDSP_LIBRARY)
        message(FATAL_ERROR "callctl needs spandsp's packet loss concealer: build-spandsp-plc.sh or libspandsp-dev")
    endif()
    add_library(quillon_spandsp_plc UNKNOWN IMPORTED)
    set_target_properties(quillon_spandsp_plc PROPERTIES
        IMPORTED_LOCATION ${SPANDSP_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${SPANDSP_INCLUDE_DIR})
endif()
