# What every package, and the program's own file, says about the program: its
# name, who makes it, its licence and its icon. The version is the project's
# (PROJECT_VERSION). Included by the top-level CMakeLists.txt, so that app/
# (the Windows version information) and packaging/ read the same.
set(ORBELITH_DISPLAY_NAME "Orbelith Server GUI")
set(ORBELITH_VENDOR "Orbelith team")
set(ORBELITH_CONTACT "team@example.org")
set(ORBELITH_COPYRIGHT "Copyright (c) 2026 Orbelith team")
set(ORBELITH_LICENSE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)
# Images from 16 to 256 px, orbelith-SIZE.png, the SVG they were drawn from,
# and orbelith.ico made of them for Windows.
set(ORBELITH_ICON_DIR ${PROJECT_SOURCE_DIR}/app/icons)
# One name for the desktop entry, the icon and the AppStream component, which
# the program also gives the desktop, so that they are tied together.
set(ORBELITH_APP_ID org.example.OrbelithServerGui)
