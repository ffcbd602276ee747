# The handlers must not reach GTK, WebKitGTK, GLib/GIO or curl directly. Their targets search a
# folder of stand-in headers first, and each stand-in stops the build with a message that says why.
set(KELO_FIREWALL_DIR "${CMAKE_BINARY_DIR}/firewall")
foreach(header gtk/gtk.h webkit/webkit.h jsc/jsc.h glib.h glib-object.h gio/gio.h
               gio/gunixmounts.h curl/curl.h curl/easy.h curl/multi.h libsoup/soup.h)
    set(stand_in "${KELO_FIREWALL_DIR}/${header}")
    if(NOT EXISTS "${stand_in}")
        file(WRITE "${stand_in}"
             "#error \"<${header}> is a toolkit header: handlers reach the system through src/Platform only\"\n")
    endif()
endforeach()

function(kelo_firewall target)
    target_include_directories(${target} BEFORE PRIVATE "${KELO_FIREWALL_DIR}")
endfunction()
