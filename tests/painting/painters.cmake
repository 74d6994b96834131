# The painters are compiled into the panel library for the program. The
# painting tests, the screenshot tool and the benchmark build the same two
# files into a small library of their own, so that they depend on nothing of
# the dialog and keep building while the dialog is being worked on.
if(NOT TARGET ostrelle_painters)
  find_package(Qt6 REQUIRED COMPONENTS Gui)
  add_library(ostrelle_painters STATIC
    ${CMAKE_SOURCE_DIR}/panel/lcdpainter.cpp
    ${CMAKE_SOURCE_DIR}/panel/statuspainter.cpp
  )
  target_include_directories(ostrelle_painters PUBLIC ${CMAKE_SOURCE_DIR}/panel)
  target_link_libraries(ostrelle_painters PUBLIC Qt6::Gui protocol)
endif()
set(OSTRELLE_PAINTERS ostrelle_painters)
set(OSTRELLE_LCD_FONT_FILE ${CMAKE_SOURCE_DIR}/panel/resources/LCDp.ttf)
