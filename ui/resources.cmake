# The QML pages and their resources, compiled into the client under ":/ui/...".
# Included from the top folder, where kelvra_core is made: the resource's rcc
# step then belongs to one directory's targets only, and a parallel build never
# compiles the generated source while another rule is still writing it.
# Fonts: the Poppins family (SIL Open Font License, text in fonts/OFL.txt), from
# the npm package @expo-google-fonts/poppins 0.4.1. Icon: icons/icon.svg drawn
# for Kelvra; icon.ico holds it rendered at 16 to 256 pixels (rsvg-convert for
# each size, then ImageMagick's convert to join them).
# Interface icons: icons/*.svg from the npm package lucide-static 1.62.0 (ISC
# licence, icons/LICENSE-lucide.txt); star-filled.svg is its star with a fill.
# Tray: icons/tray/*.svg, lucide's shield outline recoloured (and filled, with
# a check, for the connected state).
# Flags: icons/flags/*.svg, the 4x3 set of the npm package flag-icons 7.5.0
# (MIT licence, icons/flags/LICENSE), named by lower-case country code.
file(GLOB KELVRA_UI_QML CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/qml/*.qml
     ${CMAKE_CURRENT_LIST_DIR}/qml/components/*.qml
     ${CMAKE_CURRENT_LIST_DIR}/qml/pages/*.qml
     ${CMAKE_CURRENT_LIST_DIR}/qml/singletons/*.qml)
file(GLOB KELVRA_UI_ICONS CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_LIST_DIR}/icons/*.svg
     ${CMAKE_CURRENT_LIST_DIR}/icons/tray/*.svg
     ${CMAKE_CURRENT_LIST_DIR}/icons/flags/*.svg)
set(KELVRA_UI_FILES
    ${KELVRA_UI_QML}
    ${KELVRA_UI_ICONS}
    ${CMAKE_CURRENT_LIST_DIR}/qml/singletons/qmldir
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-Light.ttf
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-Regular.ttf
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-Medium.ttf
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-SemiBold.ttf
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-Bold.ttf
    ${CMAKE_CURRENT_LIST_DIR}/fonts/Poppins-ExtraBold.ttf
    ${CMAKE_CURRENT_LIST_DIR}/icons/icon.ico)
qt_add_resources(kelvra_core "kelvra_ui" PREFIX "/" BASE ${CMAKE_SOURCE_DIR} FILES ${KELVRA_UI_FILES})
