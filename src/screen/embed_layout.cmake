# Writes OUTPUT, a C++ unit defining ImportOFXLayoutText() with the text of
# INPUT, so that the screen's layout is part of the library.
file(READ "${INPUT}" layout_text)
string(FIND "${layout_text}" ")kvrlayout\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw-string delimiter )kvrlayout\"")
endif()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from kvr61400.layout at build time; edit that file instead.\n"
  "#include \"screen/layout_description.h\"\n\n"
  "namespace kvr {\n\n"
  "std::string_view ImportOFXLayoutText() {\n"
  "  static constexpr char kText[] = R\"kvrlayout(${layout_text})kvrlayout\";\n"
  "  return {kText, sizeof(kText) - 1};\n"
  "}\n\n"
  "}  // namespace kvr\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
