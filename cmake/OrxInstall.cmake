# The installed layout, after Debian custom (see "Install as a package" in README.md):
#   daemons             /usr/sbin                    orxgui, orxweb (orxsdkd, orxcache)
#   user programs       /usr/bin                     orxadmin, orxcmd
#   shared libraries    /usr/lib/<multiarch>         with SONAME versions
#   Java class          /usr/share/java, its JNI library in /usr/lib/<multiarch>/jni
#   installation dir    /etc/vorn                    ORXDIR: template, site default, policy,
#                                                    listener site settings (configuration files)
#   daemon settings     /etc/default/vorn-server
#   state               /var/lib/vorn                host key (hostkey/, 0700), web console state
#   logs                /var/log/vorn                0700, files 0600, rotated by logrotate
# Every program and library is installed from here, so that the package is described in one
# place; a program that does not exist in this tree is skipped.

set(ORX_ETC_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vorn")
set(ORX_STATE_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/vorn")
set(ORX_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/vorn")
set(ORX_DATA_DIR "${CMAKE_INSTALL_DATADIR}/vorn-server")
set(ORX_SYSTEMD_UNIT_DIR "/lib/systemd/system" CACHE PATH "Where the systemd units are installed")

# Shared libraries carry the product's version; their SONAME carries the version of their
# interface (0), which changes only when the libraries' interface does.
set(ORX_LIBRARY_SOVERSION 0)
foreach(lib ORXsdk ORXsdkNetwork ORXClasses ORXEngine)
    if(TARGET ${lib})
        set_target_properties(${lib} PROPERTIES VERSION ${PROJECT_VERSION}
                                                SOVERSION ${ORX_LIBRARY_SOVERSION})
        install(TARGETS ${lib} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
    endif()
endforeach()

foreach(daemon orxgui orxweb orxsdkd orxcache)
    if(TARGET ${daemon})
        install(TARGETS ${daemon} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    endif()
endforeach()
foreach(program orxadmin orxcmd)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# The web console's page (orxweb --assets).
if(TARGET orxweb)
    install(DIRECTORY ${ORXWEB_ASSETS_DIR}/ DESTINATION ${ORX_DATA_DIR}/web)
endif()

# The Java bridge: its JNI library, unversioned as the JVM loads it by name, in the folder
# Debian's JVM searches; its jar goes to /usr/share/java by the bridge's own install_jar().
if(TARGET ORXAPIJava)
    install(TARGETS ORXAPIJava LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni)
endif()
