# Wraps README.md into a small HTML page for the bundle, so Learn More opens a readable guide offline.
file(READ "${INPUT}" text)
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
string(REPLACE ">" "&gt;" text "${text}")
file(WRITE "${OUTPUT}" "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tessaron</title>\n<style>body{font:15px/1.5 system-ui,sans-serif;max-width:52rem;margin:2rem auto;padding:0 1rem}pre{white-space:pre-wrap;font:inherit}</style></head>\n<body><pre>${text}</pre></body></html>\n")
