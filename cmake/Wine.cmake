# Windows test executables run under Wine with a private prefix inside the build folder.
# Included before any executable is created: each target copies the emulator when it is made.
find_program(WINE_EXECUTABLE NAMES wine wine64 PATHS /usr/lib/wine REQUIRED)
set(TARNWICK_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEPREFIX=${TARNWICK_WINEPREFIX} WINEDEBUG=-all,err+module
        WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d
    ${WINE_EXECUTABLE})
