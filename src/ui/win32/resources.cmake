# The program's resources (icon, version, manifest) as one object for every executable that shows
# the window: linked in, the window finds its icon in the executable's own module.
#   include(resources.cmake) then target_link_libraries(EXE PRIVATE orvendal_ui_resources)
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The icon is drawn at build time by the same rule as the Qt window's.
set(ORVENDAL_ICON_FILE ${CMAKE_CURRENT_BINARY_DIR}/orvendal.ico)
add_custom_command(OUTPUT ${ORVENDAL_ICON_FILE}
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/makeicon.py ${ORVENDAL_ICON_FILE}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/makeicon.py
    COMMENT "Drawing the window's icon")

set(ORVENDAL_MANIFEST_FILE ${CMAKE_CURRENT_LIST_DIR}/orvendal.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/orvendal.rc.in ${CMAKE_CURRENT_BINARY_DIR}/orvendal.rc
    @ONLY)

add_library(orvendal_ui_resources OBJECT
    ${CMAKE_CURRENT_BINARY_DIR}/orvendal.rc ${ORVENDAL_ICON_FILE})
target_include_directories(orvendal_ui_resources PUBLIC ${CMAKE_CURRENT_LIST_DIR})
# windres reads the icon and the manifest itself: no dependency scan sees them.
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/orvendal.rc PROPERTIES
    OBJECT_DEPENDS "${ORVENDAL_ICON_FILE};${ORVENDAL_MANIFEST_FILE};${CMAKE_CURRENT_LIST_DIR}/resources.h")
