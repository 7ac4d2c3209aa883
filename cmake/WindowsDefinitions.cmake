# Module-definition (.def) files on both Windows targets. The files in the
# tree name __stdcall functions as 32-bit Windows decorates them (Name@N);
# 64-bit Windows has one calling convention and no decorations, so there the
# sizes are cut off. Ordinals (" @42") and keywords are kept as they are,
# except in the converter library's import list (qx318_import_def_for_target).

# 32-bit Windows decorates __stdcall names with their argument bytes.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QX318_STDCALL_DECORATED ON)
else()
  set(QX318_STDCALL_DECORATED OFF)
endif()

# Sets out_var to a .def file for this target: input itself on 32-bit
# Windows, else a copy in the build folder without the argument sizes.
function(qx318_def_for_target input out_var)
  if(QX318_STDCALL_DECORATED)
    set(${out_var} ${input} PARENT_SCOPE)
    return()
  endif()
  file(READ ${input} text)
  _qx318_write_undecorated_def(${input} "${text}" output)
  set(${out_var} ${output} PARENT_SCOPE)
endfunction()

# As qx318_def_for_target, for a list of functions this library imports by
# ordinal on 32-bit Windows. The converter library's ordinals are known for
# its 32-bit build only; its 64-bit build is bound by its documented names, so
# on 64-bit Windows the ordinals (" @42 NONAME") are dropped and the functions
# are imported by name.
function(qx318_import_def_for_target input out_var)
  if(QX318_STDCALL_DECORATED)
    set(${out_var} ${input} PARENT_SCOPE)
    return()
  endif()
  file(READ ${input} text)
  string(REGEX REPLACE "[ \t]+@[0-9]+([ \t]+NONAME)?" "" text "${text}")
  _qx318_write_undecorated_def(${input} "${text}" output)
  set(${out_var} ${output} PARENT_SCOPE)
endfunction()

function(_qx318_write_undecorated_def input text out_var)
  get_filename_component(name ${input} NAME)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/undecorated/${name})
  string(REGEX REPLACE "([A-Za-z0-9_])@[0-9]+" "\\1" text "${text}")
  file(GENERATE OUTPUT ${output} CONTENT "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  set(${out_var} ${output} PARENT_SCOPE)
endfunction()
