# Part of the install (packaging/windows/CMakeLists.txt): checks that the
# installed programs import nothing but Windows' own DLLs, as they link Qt and
# the compiler's runtime statically, and strips them when the install is asked
# to (--strip). Set before it: ORBELITH_DLL_DIRS (Qt's and the compiler's
# folders of DLLs, none of which may be imported), ORBELITH_OBJDUMP and
# ORBELITH_STRIP (mingw-w64's).
cmake_policy(VERSION 3.25)
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(GLOB programs "${root}/*.exe" "${root}/*.com")

set(not_windows)
foreach(dir ${ORBELITH_DLL_DIRS})
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll ${dlls})
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" name)
        list(APPEND not_windows "${name}")
    endforeach()
endforeach()
foreach(program ${programs})
    execute_process(COMMAND "${ORBELITH_OBJDUMP}" -p "${program}" OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    set(names)
    foreach(import ${imports})
        string(REGEX REPLACE "^DLL Name: *" "" name "${import}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" name)
        list(APPEND names "${name}")
        if(name IN_LIST not_windows)
            message(FATAL_ERROR "${program} imports ${name}, which would have to ship beside it: link it "
                                "statically (Qt from scripts/qt-windows.sh, -static)")
        endif()
    endforeach()
    list(SORT names)
    string(REPLACE ";" ", " names "${names}")
    get_filename_component(file "${program}" NAME)
    message(STATUS "${file} imports only Windows' own: ${names}")
endforeach()

if(CMAKE_INSTALL_DO_STRIP)
    foreach(program ${programs})
        execute_process(COMMAND "${ORBELITH_STRIP}" --strip-all "${program}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()
