# Part of the install (packaging/windows/CMakeLists.txt): ships the DLLs that
# the installed programs and plugins import, each with its licence, and
# strips what ships when the install is asked to (--strip). Set before it:
# ORBELITH_DLL_DIRS (where the DLLs are looked for), ORBELITH_QT_DLL_DIR (the
# Qt among them, whose licence is shipped already), ORBELITH_OBJDUMP and
# ORBELITH_STRIP (mingw-w64's).
cmake_policy(VERSION 3.25)
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(GLOB programs "${root}/*.exe" "${root}/*.com")
file(GLOB plugins "${root}/*/*.dll")

# Every DLL in those folders by its name in lower case, as Windows matches
# names; the first folder that has one wins, as it would on Windows' search.
foreach(dir ${ORBELITH_DLL_DIRS})
    file(GLOB dlls "${dir}/*.dll")
    foreach(dll ${dlls})
        get_filename_component(name "${dll}" NAME)
        string(TOLOWER "${name}" key)
        if(NOT DEFINED "dll_${key}")
            set("dll_${key}" "${dll}")
        endif()
    endforeach()
endforeach()

# What the programs and plugins import, and what that imports in turn.
set(queue ${programs} ${plugins})
set(seen)
set(windows_own)
while(queue)
    list(POP_FRONT queue binary)
    execute_process(COMMAND "${ORBELITH_OBJDUMP}" -p "${binary}" OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
    foreach(import ${imports})
        string(REGEX REPLACE "^DLL Name: *" "" name "${import}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" key)
        if(key IN_LIST seen)
            continue()
        endif()
        list(APPEND seen "${key}")
        if(NOT DEFINED "dll_${key}")
            list(APPEND windows_own "${key}")
            continue()
        endif()
        set(dll "${dll_${key}}")
        file(INSTALL "${dll}" DESTINATION "${CMAKE_INSTALL_PREFIX}")
        list(APPEND queue "${dll}")
        get_filename_component(dir "${dll}" DIRECTORY)
        if(dir STREQUAL ORBELITH_QT_DLL_DIR)
            continue()
        endif()
        # Any other DLL comes from a Debian package, whose copyright file
        # says who made it and under which licence.
        execute_process(COMMAND dpkg-query -S "${dll}" OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET)
        string(REGEX REPLACE ":.*" "" package "${owner}")
        if(NOT status EQUAL 0 OR NOT EXISTS "/usr/share/doc/${package}/copyright")
            message(FATAL_ERROR "${dll} would ship without its licence: no Debian package's copyright file "
                                "is known for it")
        endif()
        file(INSTALL "/usr/share/doc/${package}/copyright" DESTINATION "${CMAKE_INSTALL_PREFIX}/licenses"
            RENAME "${package}-copyright.txt")
    endforeach()
endwhile()
# Neither shipped nor in those folders: Windows' own (the API sets' names
# stand for parts of it too).
list(SORT windows_own)
string(REPLACE ";" ", " windows_own "${windows_own}")
message(STATUS "From Windows itself: ${windows_own}")

if(CMAKE_INSTALL_DO_STRIP)
    file(GLOB_RECURSE binaries "${root}/*.exe" "${root}/*.com" "${root}/*.dll")
    foreach(binary ${binaries})
        execute_process(COMMAND "${ORBELITH_STRIP}" --strip-all "${binary}" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endif()
