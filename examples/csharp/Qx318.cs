// P/Invoke declarations of QX318_RS485 (include/QX318_RS485.h): every
// exported function, its records and its failure reasons.
//
// Drop this file into a .NET project and put QX318_RS485.dll of the
// process's architecture beside the program: the x86 DLL for a 32-bit (x86)
// process, the x64 DLL for a 64-bit one. An AnyCPU program runs as the
// machine's native architecture unless "Prefer 32-bit" is set, so ship the
// DLL that matches what it runs as, or build for x86 or x64 explicitly.
//
// Mono on Linux reads "QX318_RS485.dll" as libQX318_RS485.so and looks for it
// beside the program and where the dynamic loader looks (LD_LIBRARY_PATH,
// the ldconfig folders).
using System;
using System.Runtime.InteropServices;

namespace Qx318Rs485
{
    // The device's hello answer; the library does not interpret the values.
    // Explicit offsets and size: the same 16 bytes as the C record in every
    // process, whatever the runtime's packing.
    [StructLayout(LayoutKind.Explicit, Size = 16)]
    public struct HelloAnswer
    {
        [FieldOffset(0)] public ushort Value1;  // 14 bits
        [FieldOffset(2)] public byte Value2;    // 7 bits
        [FieldOffset(3)] public byte Unused3;   // never written by the library
        [FieldOffset(4)] public uint Value3;    // 28 bits
        [FieldOffset(8)] public ushort Value4;  // 14 bits
        [FieldOffset(10)] public ushort Value5; // 14 bits
        [FieldOffset(12)] public ushort Value6; // 14 bits
        [FieldOffset(14)] public ushort Value7; // 14 bits
    }

    // The head of a measurement: a 7-bit lead byte and the number of value
    // pairs that follow in the value array.
    [StructLayout(LayoutKind.Explicit, Size = 4)]
    public struct MeasureHeader
    {
        [FieldOffset(0)] public byte LeadByte;
        [FieldOffset(1)] public byte Unused1; // never written by the library
        [FieldOffset(2)] public ushort PairCount;
    }

    // The head of an image: row r of the pixels starts at r * RowLength.
    [StructLayout(LayoutKind.Explicit, Size = 8)]
    public struct ImageHeader
    {
        [FieldOffset(0)] public ushort Word4; // the device's fourth header word
        [FieldOffset(2)] public ushort Word3; // the device's third header word
        [FieldOffset(4)] public ushort RowLength;
        [FieldOffset(6)] public ushort RowCount;
    }

    // Why the calling thread's most recent call returned 0 (QX318_FAIL_* in
    // the C header). The values are stable; new ones may be added.
    public enum Qx318Failure
    {
        None = 0,
        NullArgument = 1,
        NotFound = 2,
        PortBusy = 3,
        AccessDenied = 4,
        LineSettings = 5,
        BaudRate = 6,
        Timeouts = 7,
        Queues = 8,
        Purge = 9,
        EventMask = 10,
        WriteShort = 11,
        NoAnswer = 12,
        AnswerCutShort = 13,
        NoStartByte = 14,
        AnswerTooLong = 15,
        WrongLength = 16,
        CrcMismatch = 17,
        FlashNotConfirmed = 18,
        Capacity = 19,
        NoMemory = 20,
        HungUp = 21,
        InvalidHandle = 22,
        PortError = 23,
        Connection = 24,
        WrongProtocol = 25,
        NotSerial = 26,
        ConnectionRefused = 27,
        HostUnreachable = 28,
    }

    // Every function returns 1 on success and 0 on failure; the C header
    // says what each one does. The 32-bit DLL exports __stdcall functions;
    // on x64 (and on Linux) the calling convention is ignored.
    public static class Qx318
    {
        public const string Library = "QX318_RS485.dll";

        // The handle a failed open yields; ClosePort refuses it and 0.
        public static readonly IntPtr InvalidPort = new IntPtr(-1);

        // A parameter code: low byte the parameter number, high byte the
        // number of 7-bit groups its value travels in (1 to 3 for 16 bits).
        // ParameterCode(5, 2) is 0x0205.
        public static ushort ParameterCode(int number, int groups)
        {
            return (ushort)((groups << 8) | number);
        }

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int QX318_OpenPort(string description, uint baudRate, out IntPtr port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_ClosePort(IntPtr port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_HelloCmd(IntPtr port, int address, out HelloAnswer answer);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_ReadParameter(IntPtr port, int address, ushort code,
                                                     out ushort value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_WriteParameter(IntPtr port, int address, ushort code,
                                                      ushort value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_FlushParamsToFlash(IntPtr port, int address);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_RestoreParamsFromFlash(IntPtr port, int address);

        // values must hold every value the device may announce: 32766 unless
        // the device's pair count is known. Prefer QX318_GetMeasureEx.
        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetMeasure(IntPtr port, int address, out MeasureHeader header,
                                                  [Out] ushort[] values);

        // Fails (Capacity) without writing when the device announces more
        // than valueCapacity values; pass values.Length.
        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetMeasureEx(IntPtr port, int address, out MeasureHeader header,
                                                    [Out] ushort[] values, uint valueCapacity);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_LockResult(IntPtr port, int address);

        // pixels must hold the largest image the device may send (up to
        // 16383 x 16383 bytes). Prefer QX318_GetImageEx.
        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetImage(IntPtr port, int address, out ImageHeader header,
                                                [Out] byte[] pixels);

        // Fails (Capacity) before reading a row when the image is larger than
        // pixelCapacity bytes; pass pixels.Length.
        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetImageEx(IntPtr port, int address, out ImageHeader header,
                                                  [Out] byte[] pixels, uint pixelCapacity);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_RotateAxisXY(IntPtr port, int address, out int value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetRotateAngle(IntPtr port, int address, out int value);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_FlushAngleToFlash(IntPtr port, int address);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_RestoreAngleFromFlash(IntPtr port, int address);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern int QX318_GetLastFailure();

        // Both texts belong to the library: a static string, and a per-thread
        // buffer valid until the thread's next call. Returned as IntPtr, never
        // as string: the marshaller would free a returned string's memory.
        // Read them with FailureText and LastFailureDetail below.
        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern IntPtr QX318_FailureText(int reason);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall)]
        public static extern IntPtr QX318_GetLastFailureDetail();

        public static Qx318Failure LastFailure()
        {
            return (Qx318Failure)QX318_GetLastFailure();
        }

        public static string FailureText(Qx318Failure reason)
        {
            return Marshal.PtrToStringAnsi(QX318_FailureText((int)reason));
        }

        // Call it right after the call that failed, before any other call
        // into the library on this thread.
        public static string LastFailureDetail()
        {
            return Marshal.PtrToStringAnsi(QX318_GetLastFailureDetail());
        }
    }
}
