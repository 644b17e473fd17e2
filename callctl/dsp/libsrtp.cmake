# libsrtp2 (SRTP and SRTCP, RFC 3711) for the RTP layer: quillon_srtp2.
#
# Built from Debian's source package by build-libsrtp.sh into
# QUILLON_SRTP_DIR, beside the audio libraries in the same cache (its own
# prefix and stamp, the same source cache), the first time a tree is
# configured (a few seconds): for Windows cross-compiled, natively with the
# same recipe. Natively, when that build fails (no network and no cached
# source) or QUILLON_OWN_SRTP_LIB is OFF, Debian's libsrtp2-dev is linked
# instead: the same version and API.
#
# Included from callctl/CMakeLists.txt whether or not the audio libraries
# are built: SRTP does not depend on them.

if(DEFINED ENV{QUILLON_CACHE})
    set(_srtp_cache $ENV{QUILLON_CACHE})
else()
    set(_srtp_cache $ENV{HOME}/.cache/quillon)
endif()
set(_srtp_script ${CMAKE_CURRENT_LIST_DIR}/build-libsrtp.sh)
if(WIN32)
    set(_srtp_host i686-w64-mingw32)
    set(_srtp_args ${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake)
    set(_srtp_own TRUE)
else()
    set(_srtp_host ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
    set(_srtp_args "")
    option(QUILLON_OWN_SRTP_LIB "build libsrtp2 from Debian's sources (else link Debian's package)" ON)
    set(_srtp_own ${QUILLON_OWN_SRTP_LIB})
endif()
set(QUILLON_SRTP_DIR ${_srtp_cache}/thirdparty/${_srtp_host}-libsrtp2 CACHE PATH
    "static libsrtp2 for ${_srtp_host} (built by callctl/dsp/build-libsrtp.sh)")

set(_srtp_ok FALSE)
if(_srtp_own)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${_srtp_script} ${CMAKE_CURRENT_LIST_DIR}/debian-source.sh)
    # The stamp names the recipe's hash (the script and debian-source.sh):
    # a changed recipe rebuilds the cache.
    file(READ ${_srtp_script} _srtp_text)
    file(READ ${CMAKE_CURRENT_LIST_DIR}/debian-source.sh _srtp_fetch)
    string(SHA256 _srtp_recipe "${_srtp_text}${_srtp_fetch}")
    string(SUBSTRING ${_srtp_recipe} 0 16 _srtp_recipe)
    set(_srtp_stamp ${QUILLON_SRTP_DIR}/quillon-thirdparty.stamp)
    set(_srtp_built "")
    if(EXISTS ${_srtp_stamp})
        file(STRINGS ${_srtp_stamp} _srtp_built LIMIT_COUNT 1)
    endif()
    set(_srtp_rc 0)
    if(NOT _srtp_built STREQUAL "recipe ${_srtp_recipe}")
        message(STATUS "Building libsrtp2 for ${_srtp_host} into ${QUILLON_SRTP_DIR}")
        execute_process(COMMAND sh ${_srtp_script} ${QUILLON_SRTP_DIR} ${_srtp_args}
                        RESULT_VARIABLE _srtp_rc)
    endif()
    if(_srtp_rc EQUAL 0)
        set(_srtp_ok TRUE)
    elseif(WIN32)
        message(FATAL_ERROR "build-libsrtp.sh failed (${_srtp_rc})")
    else()
        message(WARNING "build-libsrtp.sh failed (${_srtp_rc}); linking Debian's libsrtp2 instead")
    endif()
endif()

if(_srtp_ok)
    add_library(quillon_srtp2 STATIC IMPORTED)
    set_target_properties(quillon_srtp2 PROPERTIES
        IMPORTED_LOCATION ${QUILLON_SRTP_DIR}/lib/libsrtp2.a
        INTERFACE_INCLUDE_DIRECTORIES ${QUILLON_SRTP_DIR}/include)
    if(WIN32)
        set_target_properties(quillon_srtp2 PROPERTIES INTERFACE_LINK_LIBRARIES ws2_32)
    endif()
else()
    # Debian's libsrtp2-dev (scripts/setup installs it).
    find_path(SRTP2_INCLUDE_DIR srtp2/srtp.h)
    find_library(SRTP2_LIBRARY srtp2)
    if(NOT SRTP2_INCLUDE_DIR OR NOT SRTP2_LIBRARY)
        message(FATAL_ERROR "callctl needs libsrtp2-dev (scripts/setup)")
    endif()
    add_library(quillon_srtp2 UNKNOWN IMPORTED)
    set_target_properties(quillon_srtp2 PROPERTIES
        IMPORTED_LOCATION ${SRTP2_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${SRTP2_INCLUDE_DIR})
endif()
