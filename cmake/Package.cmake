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
# by name at run time is declared here: Qt's X11 platform plug-in, the GStreamer elements the
# capture pipeline builds (v4l2src, decodebin, videoconvert, appsink, jpegdec), Qt's own Japanese
# texts for its dialogs, and a font for the window's Japanese texts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, gstreamer1.0-plugins-base, \
gstreamer1.0-plugins-good, qt6-translations-l10n, fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic")
# H.264 cameras are decoded by libav's decoder.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS gstreamer1.0-libav)
include(CPack)
