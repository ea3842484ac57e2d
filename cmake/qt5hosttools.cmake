# Qt's package configuration finds qmake, moc and rcc (Qt5Core) and uic (Qt5Widgets) beside its
# libraries unless targets of those names exist. A cross build sets CORVANE_QT_HOST_BINS, and the
# tools of the host's Qt of the same version are used instead of the target's, which cannot run.
if(NOT CORVANE_QT_HOST_BINS)
    return()
endif()
foreach(tool qmake moc rcc uic)
    if(NOT TARGET Qt5::${tool})
        if(NOT EXISTS "${CORVANE_QT_HOST_BINS}/${tool}")
            message(FATAL_ERROR "${CORVANE_QT_HOST_BINS}/${tool} is missing (Debian: qtbase5-dev-tools and qt5-qmake)")
        endif()
        add_executable(Qt5::${tool} IMPORTED)
        set_target_properties(Qt5::${tool} PROPERTIES
            IMPORTED_LOCATION "${CORVANE_QT_HOST_BINS}/${tool}")
    endif()
endforeach()
