# Installs the build into a scratch prefix and checks that the program, its menu entry and its
# icon land where desktops look for them, and that the menu entry is valid, names the installed
# program by absolute path (KWin's screen reading asks for it, with the interface named) and
# offers the screenshot and the pen as actions of its own.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path bin/vellori share/applications/vellori.desktop
             share/icons/hicolor/scalable/apps/vellori.svg)
    if(NOT EXISTS "${PREFIX}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()
execute_process(COMMAND desktop-file-validate "${PREFIX}/share/applications/vellori.desktop"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the menu entry does not validate")
endif()
file(STRINGS "${PREFIX}/share/applications/vellori.desktop" entry)
foreach(line "Exec=${PREFIX}/bin/vellori" "Exec=${PREFIX}/bin/vellori --screenshot"
             "Exec=${PREFIX}/bin/vellori --pen"
             "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2")
    list(FIND entry "${line}" found)
    if(found EQUAL -1)
        message(FATAL_ERROR "the menu entry lacks: ${line}")
    endif()
endforeach()
