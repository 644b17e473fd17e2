# Build-time check of one layer's includes (see CMakeLists.txt):
#   cmake -DROOT=<callctl> -DLAYER=<name> -DBELOW=<a,b,...> -DSTAMP=<file> -P check_layers.cmake
# Every #include of every header and source in ROOT/LAYER is resolved as the
# compiler would (beside the including file, then from ROOT, the root the
# tests and dsp use); one that lands in another layer's folder must land in
# a layer below LAYER. include/ (the C types) is below every layer, dsp below
# codec and everything above it. Fails with the offending lines, else
# touches STAMP.

set(_all base sip auth sdp transport txn ua rtp jb codec device media engine api)
string(REPLACE "," ";" _allowed "${BELOW}")
list(APPEND _allowed ${LAYER} include)
list(FIND _allowed codec _codec_at)
if(_codec_at GREATER_EQUAL 0)
    list(APPEND _allowed dsp)
endif()
set(_guarded ${_all} dsp include)

file(GLOB _files ${ROOT}/${LAYER}/*.h ${ROOT}/${LAYER}/*.cpp)
set(_errors "")
foreach(_file IN LISTS _files)
    get_filename_component(_dir ${_file} DIRECTORY)
    file(STRINGS ${_file} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]+[\">]")
    foreach(_line IN LISTS _lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*$" "\\1" _path "${_line}")
        set(_target "")
        if(_line MATCHES "include[ \t]*\"" AND EXISTS ${_dir}/${_path})
            get_filename_component(_target ${_dir}/${_path} ABSOLUTE)
        elseif(EXISTS ${ROOT}/${_path})
            get_filename_component(_target ${ROOT}/${_path} ABSOLUTE)
        endif()
        if(NOT _target)
            continue()
        endif()
        file(RELATIVE_PATH _rel ${ROOT} ${_target})
        if(_rel MATCHES "^\\.\\./" OR NOT _rel MATCHES "/")
            continue()
        endif()
        string(REGEX MATCH "^[^/]+" _top "${_rel}")
        list(FIND _guarded ${_top} _is_guarded)
        list(FIND _allowed ${_top} _is_allowed)
        if(_is_guarded GREATER_EQUAL 0 AND _is_allowed LESS 0)
            file(RELATIVE_PATH _from ${ROOT} ${_file})
            string(APPEND _errors "  callctl/${_from}: ${_line}\n    (${_rel}: ${_top} is not below ${LAYER})\n")
        endif()
    endforeach()
endforeach()

if(_errors)
    file(REMOVE ${STAMP})
    message(FATAL_ERROR "callctl layer ${LAYER} includes a higher layer's header:\n${_errors}")
endif()
file(TOUCH ${STAMP})
