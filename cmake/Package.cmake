# The Debian package: `cpack -G DEB` in the build folder, from the plain install (the program, its
# plug-ins, the commands, the menu entry and the icon under /usr; not the plug-in interface).
set(CPACK_PACKAGE_NAME vistel-capture)
set(CPACK_PACKAGE_VENDOR "Vistel Capture developers")
set(CPACK_PACKAGE_CONTACT "Vistel Capture developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Viewer and recorder for video-capture devices")
set(CPACK_PACKAGE_DESCRIPTION "Lists the cameras and the frame formats each offers, shows a live \
zoomable preview through image-processor plug-ins, drives the camera's focus, saves snapshots \
(BMP, JPEG, PNG, TIFF) and records movies (AVI, ASF, MP4).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The shared libraries the executables and plug-ins link come from dpkg-shlibdeps; what is loaded
# by name at run time is declared here: libavcodec and libavformat (opened by their soname when a
# movie is recorded), Qt's X11 platform plug-in, the GStreamer elements the capture pipeline builds
# (the camera providers, decodebin, videoconvert, appsink, jpegdec), Qt's own Japanese texts for
# its dialogs, and a font for the window's Japanese texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
pkg_check_modules(PACKAGE_FFMPEG REQUIRED libavcodec libavformat)
set(loaded_libraries)
foreach(library IN ITEMS libavcodec libavformat)
  string(REGEX MATCH "^[0-9]+" major "${PACKAGE_FFMPEG_${library}_VERSION}")
  list(APPEND loaded_libraries "${library}${major}")
endforeach()
list(JOIN loaded_libraries ", " loaded_libraries)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${loaded_libraries}, qt6-qpa-plugins, gstreamer1.0-plugins-base, \
gstreamer1.0-plugins-good, qt6-translations-l10n, fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic")
# H.264 cameras are decoded by libav's decoder.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gstreamer1.0-libav)
include(CPack)
