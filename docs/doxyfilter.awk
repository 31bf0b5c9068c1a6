# Reads a public header as Doxygen should see it: the header's opening
# comment describes the file, a comment on lines of its own describes the
# declaration below it, and a comment after code on the same line describes
# that line's member. Every line keeps its number.
BEGIN { opening = 1; held = "" }
opening && /^\/\/ / { sub(/^\/\//, "///"); held = held (held == "" ? "" : "\n") $0; next }
opening {
  opening = 0
  if (held != "") print held " \\file"
}
/^[ \t]*\/\/( |$)/ { sub(/\/\//, "///"); print; next }
/[;,{})][ \t]+\/\/ / { sub(/[ \t]+\/\/ /, "  ///< "); print; next }
{ print }
