# Write LICENSE out as a Debian machine-readable copyright file.
#   cmake -DLICENSE=<file> -DOUT=<file> -P copyright.cmake
file(READ "${LICENSE}" text)
string(REGEX MATCH "^Copyright \\(c\\) ([^\n]*)\n\n(.*[^\n])\n*$" _ "${text}")
set(holder "${CMAKE_MATCH_1}")
# Each line of the text indented by one space, each blank line as " .".
string(REPLACE "\n\n" "\n.\n" text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " text " ${text}")
file(WRITE "${OUT}" "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: varnok

Files: *
Copyright: ${holder}
License: ISC
${text}
")
