target_sources(lintaro PRIVATE
  ConnectionController.cpp
  MainCycle.cpp
  ModemControl.cpp
  PortWaiter.h
  ServerSocket.h ServerSocket.cpp
  TCPServerEndpoint.cpp)
if(WIN32)
  target_sources(lintaro PRIVATE PortWaiter_win.cpp)
else()
  target_sources(lintaro PRIVATE PortWaiter_posix.cpp)
endif()
