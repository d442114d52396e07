# Writes a C++ source that holds the text of INPUT as demo_signals_json(), into OUTPUT.
file(READ "${INPUT}" content)
string(FIND "${content}" ")brindlecap_json\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string delimiter")
endif()
file(WRITE "${OUTPUT}.tmp" "// Generated from data/demo_signals.json; edit that file instead.
#include \"demo_signals.hpp\"

namespace brindlecap::cli {

std::string_view demo_signals_json() {
    static constexpr char text[] = R\"brindlecap_json(${content})brindlecap_json\";
    return {text, sizeof(text) - 1};
}

}  // namespace brindlecap::cli
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
