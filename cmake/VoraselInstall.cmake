include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The simulator installs too (static, with the library inside), for programs that embed the
# simulated case through vorasel/hv_simulated_case.h.
install(TARGETS vorasel vorasel_static vorasel-sim vorasel-sim-core EXPORT voraselTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vorasel
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/sim/include/vorasel/hv_simulated_case.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorasel)
install(EXPORT voraselTargets NAMESPACE vorasel::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorasel)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/voraselConfig.cmake.in
    ${PROJECT_BINARY_DIR}/voraselConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorasel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/voraselConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/voraselConfig.cmake
              ${PROJECT_BINARY_DIR}/voraselConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vorasel)

configure_file(${PROJECT_SOURCE_DIR}/cmake/vorasel.pc.in ${PROJECT_BINARY_DIR}/vorasel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorasel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
