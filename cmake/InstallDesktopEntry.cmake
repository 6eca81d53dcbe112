# Installs the menu entry VISTEL_DESKTOP_ENTRY into the prefix's share/applications, through
# VISTEL_DESKTOP_ENTRY_OUTPUT. It names the command alone where bin/ is on every user's PATH
# (/usr, /usr/local), else by its full path: ~/.local/bin is not on PATH on a fresh Debian.
set(command "${CMAKE_INSTALL_PREFIX}/bin/vistel-capture")
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
  set(command vistel-capture)
elseif(NOT command MATCHES "^[A-Za-z0-9/._+-]+$")
  # A quoted argument of Exec escapes ", `, $ and \ with a backslash; the value as a whole is a
  # string, in which each backslash is doubled again.
  string(REPLACE "\\" "\\\\" command "${command}")
  foreach(character "\"" "`" "$")
    string(REPLACE "${character}" "\\${character}" command "${command}")
  endforeach()
  string(REPLACE "\\" "\\\\" command "${command}")
  set(command "\"${command}\"")
endif()
string(REPLACE "%" "%%" command "${command}") # a field code otherwise
file(READ "${VISTEL_DESKTOP_ENTRY}" entry)
string(REPLACE "\nExec=vistel-capture\n" "\nExec=${command}\n" entry "${entry}")
file(WRITE "${VISTEL_DESKTOP_ENTRY_OUTPUT}" "${entry}")
file(INSTALL "${VISTEL_DESKTOP_ENTRY_OUTPUT}" DESTINATION "${CMAKE_INSTALL_PREFIX}/share/applications")
