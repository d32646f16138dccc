# Writes the GNOME Shell extension in the form GNOME Shell 45 and later load (an ES module) from the one for
# GNOME 42 to 44, so that the two never drift apart: only the imports, the extension's class and the shell
# versions differ. Usage: cmake -DINPUT=<folder> -DOUTPUT=<folder> -P gnome_extension_module.cmake
file(READ "${INPUT}/extension.js" script)
file(READ "${INPUT}/metadata.json" metadata)

function(replace_once text from to result)
  string(FIND "${text}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "gnome_extension_module.cmake: \"${from}\" is not in the extension any more")
  endif()
  string(REPLACE "${from}" "${to}" replaced "${text}")
  set(${result} "${replaced}" PARENT_SCOPE)
endfunction()

replace_once("${script}" "/* exported init */
const { Gio, Meta } = imports.gi;
const Main = imports.ui.main;
" "import Gio from 'gi://Gio';
import Meta from 'gi://Meta';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
" script)
replace_once("${script}" "class Extension {" "export default class WindowPlacesExtension extends Extension {" script)
replace_once("${script}" "
function init() {
    return new Extension();
}
" "" script)
replace_once("${metadata}" "\"shell-version\": [\"42\", \"43\", \"44\"]" "\"shell-version\": [\"45\", \"46\", \"47\", \"48\"]"
  metadata)

file(MAKE_DIRECTORY "${OUTPUT}")
file(WRITE "${OUTPUT}/extension.js" "${script}")
file(WRITE "${OUTPUT}/metadata.json" "${metadata}")
