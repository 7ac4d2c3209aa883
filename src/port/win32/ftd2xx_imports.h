// The ten Win32-compatible calls of the converter library, as this library
// imports them through the import library built from FTD2XX.def (by ordinal
// on 32-bit Windows, by name on 64-bit Windows). The records are the Win32 DCB and COMMTIMEOUTS
// byte for byte, the integers are 32 bits wide (DWORD), and handles and pointers are pointer-sized,
// so the same declarations serve 32- and 64-bit Windows.
#pragma once

#include <cstdint>

#include "port/converter.h"

#define QX318_FT_IMPORT extern "C" __declspec(dllimport)

QX318_FT_IMPORT PortHandle __stdcall FT_W32_CreateFile(const char *description, uint32_t access,
                                                       uint32_t share, void *security,
                                                       uint32_t creation, uint32_t flags,
                                                       void *template_file);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_CloseHandle(PortHandle port);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_ReadFile(PortHandle port, void *buffer,
                                                        uint32_t count, uint32_t *transferred,
                                                        void *overlapped);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_WriteFile(PortHandle port, const void *buffer,
                                                         uint32_t count, uint32_t *transferred,
                                                         void *overlapped);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_GetCommState(PortHandle port, qx318::Dcb *dcb);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_SetCommState(PortHandle port, qx318::Dcb *dcb);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_SetCommTimeouts(PortHandle port,
                                                               qx318::CommTimeouts *timeouts);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_SetupComm(PortHandle port, uint32_t in_queue,
                                                         uint32_t out_queue);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_PurgeComm(PortHandle port, uint32_t flags);
QX318_FT_IMPORT qx318::Bool32 __stdcall FT_W32_SetCommMask(PortHandle port, uint32_t mask);

#undef QX318_FT_IMPORT
