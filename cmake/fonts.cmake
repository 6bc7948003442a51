# Embeds the compressed fonts of data/fonts into the library as C++ byte
# arrays, generated at configure time by CMake alone (no Python, any
# compiler). Filled in by the font set.
set(RRV_FONT_SOURCES "")
