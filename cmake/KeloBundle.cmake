# The application bundle, laid out as on the target platform:
#   Kelo Helvo Pellix.app/Contents/{Info.plist, MacOS/<executable>, MacOS/hdiutil, Resources/,
#                                   Frameworks/libKeloPageBridge.so}
set(KELO_BUNDLE_DIR "${CMAKE_BINARY_DIR}/${KELO_BUNDLE_NAME}.app")
set(KELO_BUNDLE_MACOS_DIR "${KELO_BUNDLE_DIR}/Contents/MacOS")
set(KELO_BUNDLE_RESOURCES_DIR "${KELO_BUNDLE_DIR}/Contents/Resources")
set(KELO_BUNDLE_FRAMEWORKS_DIR "${KELO_BUNDLE_DIR}/Contents/Frameworks")

add_executable(kelo_launcher src/App/main.cpp)
target_link_libraries(kelo_launcher PRIVATE kelo)
set_target_properties(kelo_launcher PROPERTIES
    OUTPUT_NAME "${KELO_EXECUTABLE_NAME}"
    RUNTIME_OUTPUT_DIRECTORY "${KELO_BUNDLE_MACOS_DIR}")

# The key the service signs its disk images with (minisign): its public half goes into the
# bundle's Info.plist as "KeloImagePublicKey", and the launcher mounts no image without a good
# signature by it. A release names its key; any other build makes a throw-away pair once, in
# build/keys/, with which the tests, the benchmarks and the demo sign their images.
set(KELO_IMAGE_PUBLIC_KEY "" CACHE STRING
    "The service's image key: the base64 line of its minisign public key file")
set(KELO_IMAGE_KEY_DIR "${CMAKE_BINARY_DIR}/keys")
if(KELO_IMAGE_PUBLIC_KEY)
    set(KELO_IMAGE_KEY_LINE "${KELO_IMAGE_PUBLIC_KEY}")
else()
    set(public_key "${KELO_IMAGE_KEY_DIR}/kelo-images.pub")
    set(secret_key "${KELO_IMAGE_KEY_DIR}/kelo-images.key")
    if(NOT EXISTS "${public_key}" OR NOT EXISTS "${secret_key}")
        find_program(KELO_MINISIGN minisign REQUIRED)
        file(MAKE_DIRECTORY "${KELO_IMAGE_KEY_DIR}")
        file(REMOVE "${public_key}" "${secret_key}")
        execute_process(COMMAND "${KELO_MINISIGN}" -G -W -p "${public_key}" -s "${secret_key}"
                        RESULT_VARIABLE made OUTPUT_QUIET ERROR_VARIABLE why)
        if(NOT made EQUAL 0)
            message(FATAL_ERROR "minisign could not make the image key pair: ${why}")
        endif()
        message(STATUS "Made a throw-away image key pair in ${KELO_IMAGE_KEY_DIR}")
    endif()
    # A public key file is an untrusted comment line, then the key.
    file(STRINGS "${public_key}" public_key_lines)
    list(GET public_key_lines 1 KELO_IMAGE_KEY_LINE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${public_key}")
endif()
configure_file(resources/Info.plist.in "${KELO_BUNDLE_DIR}/Contents/Info.plist" @ONLY)

file(GLOB KELO_RESOURCE_FILES CONFIGURE_DEPENDS resources/*.html resources/*.css resources/*.svg)
set(KELO_BUNDLE_COMMANDS COMMAND ${CMAKE_COMMAND} -E make_directory "${KELO_BUNDLE_RESOURCES_DIR}")
if(KELO_RESOURCE_FILES)
    list(APPEND KELO_BUNDLE_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
         ${KELO_RESOURCE_FILES} "${KELO_BUNDLE_RESOURCES_DIR}")
endif()
# The launcher's icon, named after the application id and laid out as in an icon theme: the window
# finds it there wherever the bundle runs from, and installs copy it into the user's icon theme.
set(KELO_BUNDLE_ICON_DIR "${KELO_BUNDLE_RESOURCES_DIR}/icons/hicolor/scalable/apps")
list(APPEND KELO_BUNDLE_COMMANDS
     COMMAND ${CMAKE_COMMAND} -E make_directory "${KELO_BUNDLE_ICON_DIR}"
     COMMAND ${CMAKE_COMMAND} -E copy_if_different "${CMAKE_SOURCE_DIR}/resources/icons/launcher.svg"
             "${KELO_BUNDLE_ICON_DIR}/${KELO_BUNDLE_IDENTIFIER}.svg")
# The window's web processes load the page bridge from Frameworks: the only file there.
list(APPEND KELO_BUNDLE_COMMANDS
     COMMAND ${CMAKE_COMMAND} -E make_directory "${KELO_BUNDLE_FRAMEWORKS_DIR}"
     COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kelo_page_bridge>
             "${KELO_BUNDLE_FRAMEWORKS_DIR}")
set(KELO_BUNDLE_DEPENDS kelo_launcher kelo_page_bridge ${KELO_RESOURCE_FILES}
    resources/icons/launcher.svg)
if(TARGET hdiutil)
    list(APPEND KELO_BUNDLE_COMMANDS COMMAND ${CMAKE_COMMAND} -E copy_if_different
         $<TARGET_FILE:hdiutil> "${KELO_BUNDLE_MACOS_DIR}/hdiutil")
    list(APPEND KELO_BUNDLE_DEPENDS hdiutil)
endif()
add_custom_target(kelo_bundle ALL ${KELO_BUNDLE_COMMANDS}
    DEPENDS ${KELO_BUNDLE_DEPENDS}
    COMMENT "Assembling ${KELO_BUNDLE_NAME}.app")

# `make install-app` (cmake --build . --target install_app) installs the bundle into the user's
# Applications folder through the launcher's own install (an earlier copy replaced in one step)
# and writes its desktop entry and icon.
add_custom_target(install_app
    COMMAND kelo-install-app "${KELO_BUNDLE_DIR}"
    DEPENDS kelo_bundle kelo-install-app
    COMMENT "Installing ${KELO_BUNDLE_NAME}.app into ~/Applications")
