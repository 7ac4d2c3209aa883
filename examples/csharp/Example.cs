// Every command of QX318_RS485 once, through the declarations of Qx318.cs.
//
//   Example PORT [ADDRESS [EMPTY_ADDRESS]]
//
// PORT: on Windows the converter's USB product description ("QX318
// Converter"); on Linux a device path (/dev/ttyUSB0, or the pseudo-terminal
// or --link of qx318-sim). ADDRESS: the device's bus address (default 1).
// EMPTY_ADDRESS: an address where no device answers (default 31), to show
// what a failure says.
//
// Build: a project holding both files, or "csc Example.cs Qx318.cs" (C# 6 or
// later; Qx318.cs alone compiles as C# 2). With Mono: "mcs Example.cs
// Qx318.cs && mono Example.exe /dev/ttyUSB0". Exit status: 0 when every
// command succeeded, 1 when one failed, 2 for a usage error.
using System;
using System.Runtime.InteropServices;
using Qx318Rs485;

// A call that returned 0, with the reason the library gave for it.
sealed class Qx318CallFailed : Exception
{
    public Qx318CallFailed(string function) : base(function + " failed: " + Example.LastFailureText())
    {
    }
}

static class Example
{
    const uint BaudRate = 115200;
    const int MaxValues = 32766;    // the most values a measurement may announce
    const int MaxPixels = 1 << 20;  // room for this device's images; larger ones fail (Capacity)
    const int RowPixelsShown = 16;
    const int PairsShown = 4;
    static readonly ushort Parameter5 = Qx318.ParameterCode(5, 2);

    static int Main(string[] args)
    {
        int address = 1;
        int emptyAddress = 31;
        if (args.Length < 1 || args.Length > 3 ||
            (args.Length > 1 && !int.TryParse(args[1], out address)) ||
            (args.Length > 2 && !int.TryParse(args[2], out emptyAddress)))
        {
            Console.Error.WriteLine("usage: Example PORT [ADDRESS [EMPTY_ADDRESS]]");
            return 2;
        }
        if (!RecordSizesMatchTheHeader())
            return 1;
        try
        {
            IntPtr port = Open(args[0]);
            try
            {
                RunEveryCommand(port, address);
                ShowAFailure(port, emptyAddress);
            }
            finally
            {
                if (Qx318.QX318_ClosePort(port) == 1)
                    Console.WriteLine("closed");
            }
            return 0;
        }
        catch (Qx318CallFailed failure)
        {
            Console.Error.WriteLine(failure.Message);
            return 1;
        }
    }

    // The records must have the C header's sizes, or every call that fills
    // one writes past it: refuse to go on with declarations that disagree.
    static bool RecordSizesMatchTheHeader()
    {
        int hello = Marshal.SizeOf(typeof(HelloAnswer));
        int measure = Marshal.SizeOf(typeof(MeasureHeader));
        int image = Marshal.SizeOf(typeof(ImageHeader));
        Console.WriteLine($"record sizes: HelloAnswer {hello}, MeasureHeader {measure}, ImageHeader {image}");
        if (hello == 16 && measure == 4 && image == 8)
            return true;
        Console.Error.WriteLine("the records' sizes differ from QX318_RS485.h (16, 4, 8): fix Qx318.cs");
        return false;
    }

    static IntPtr Open(string portName)
    {
        IntPtr port;
        Check(Qx318.QX318_OpenPort(portName, BaudRate, out port), nameof(Qx318.QX318_OpenPort));
        Console.WriteLine($"opened {portName}");
        return port;
    }

    static void RunEveryCommand(IntPtr port, int address)
    {
        Hello(port, address);
        Parameters(port, address);
        Measurements(port, address);
        Image(port, address);
        Rotation(port, address);
    }

    static void Hello(IntPtr port, int address)
    {
        HelloAnswer hello;
        Check(Qx318.QX318_HelloCmd(port, address, out hello), nameof(Qx318.QX318_HelloCmd));
        Console.WriteLine($"hello: value1 {hello.Value1}, value2 {hello.Value2}, value3 {hello.Value3}, " +
                          $"value4 {hello.Value4}, value5 {hello.Value5}, value6 {hello.Value6}, " +
                          $"value7 {hello.Value7}");
    }

    // Changes parameter 5 and restores it from flash before saving, so that
    // the device's flash ends as it was.
    static void Parameters(IntPtr port, int address)
    {
        ushort stored = ReadParameter5(port, address, "");
        Check(Qx318.QX318_WriteParameter(port, address, Parameter5, (ushort)(stored ^ 1)),
              nameof(Qx318.QX318_WriteParameter));
        ReadParameter5(port, address, $" after writing {stored ^ 1}");
        Check(Qx318.QX318_RestoreParamsFromFlash(port, address),
              nameof(Qx318.QX318_RestoreParamsFromFlash));
        ReadParameter5(port, address, " after restoring from flash");
        Check(Qx318.QX318_FlushParamsToFlash(port, address), nameof(Qx318.QX318_FlushParamsToFlash));
        Console.WriteLine("parameters saved to flash");
    }

    static ushort ReadParameter5(IntPtr port, int address, string when)
    {
        ushort value;
        Check(Qx318.QX318_ReadParameter(port, address, Parameter5, out value),
              nameof(Qx318.QX318_ReadParameter));
        Console.WriteLine($"parameter 0x{Parameter5:X4}{when}: {value}");
        return value;
    }

    static void Measurements(IntPtr port, int address)
    {
        var values = new ushort[MaxValues];
        MeasureHeader header;
        Check(Qx318.QX318_GetMeasureEx(port, address, out header, values, (uint)values.Length),
              nameof(Qx318.QX318_GetMeasureEx));
        PrintMeasurement("measurement", header, values);

        Check(Qx318.QX318_LockResult(port, address), nameof(Qx318.QX318_LockResult));
        Console.WriteLine("lock result sent");
        // QX318_GetMeasure trusts the array to hold every value a measurement
        // may announce, as this one does.
        Check(Qx318.QX318_GetMeasure(port, address, out header, values), nameof(Qx318.QX318_GetMeasure));
        PrintMeasurement("measurement after lock result", header, values);
    }

    static void PrintMeasurement(string what, MeasureHeader header, ushort[] values)
    {
        var line = $"{what}: lead byte {header.LeadByte}, {header.PairCount} pairs:";
        for (int pair = 0; pair < Math.Min((int)header.PairCount, PairsShown); ++pair)
            line += $" ({values[2 * pair]}, {values[2 * pair + 1]})";
        Console.WriteLine(header.PairCount > PairsShown ? line + " ..." : line);
    }

    static void Image(IntPtr port, int address)
    {
        var pixels = new byte[MaxPixels];
        ImageHeader header;
        Check(Qx318.QX318_GetImageEx(port, address, out header, pixels, (uint)pixels.Length),
              nameof(Qx318.QX318_GetImageEx));
        // Row r starts at r * RowLength.
        var firstRow = new byte[Math.Min((int)header.RowLength, RowPixelsShown)];
        Array.Copy(pixels, firstRow, firstRow.Length);
        Console.WriteLine($"image: {header.RowCount} rows of {header.RowLength} pixels, " +
                          $"word3 {header.Word3}, word4 {header.Word4}; " +
                          $"first row: {string.Join(" ", firstRow)}" +
                          (header.RowLength > RowPixelsShown ? " ..." : ""));
    }

    // Rotates, then restores the angle from flash before saving it, so that
    // the device's flash ends as it was.
    static void Rotation(IntPtr port, int address)
    {
        int angle;
        Check(Qx318.QX318_RotateAxisXY(port, address, out angle), nameof(Qx318.QX318_RotateAxisXY));
        Console.WriteLine($"rotation: angle {angle}");
        PrintRotateAngle(port, address, "");
        Check(Qx318.QX318_RestoreAngleFromFlash(port, address),
              nameof(Qx318.QX318_RestoreAngleFromFlash));
        PrintRotateAngle(port, address, " after restoring from flash");
        Check(Qx318.QX318_FlushAngleToFlash(port, address), nameof(Qx318.QX318_FlushAngleToFlash));
        Console.WriteLine("angle saved to flash");
    }

    static void PrintRotateAngle(IntPtr port, int address, string when)
    {
        int angle;
        Check(Qx318.QX318_GetRotateAngle(port, address, out angle), nameof(Qx318.QX318_GetRotateAngle));
        Console.WriteLine($"rotation angle{when}: {angle}");
    }

    // Where no device answers, hello fails; the library says why.
    static void ShowAFailure(IntPtr port, int emptyAddress)
    {
        HelloAnswer hello;
        if (Qx318.QX318_HelloCmd(port, emptyAddress, out hello) == 1)
            Console.WriteLine($"hello to address {emptyAddress}: a device answered");
        else
            Console.WriteLine($"hello to address {emptyAddress} failed: {LastFailureText()}");
    }

    static void Check(int result, string function)
    {
        if (result != 1)
            throw new Qx318CallFailed(function);
    }

    // The reason of this thread's last failed call: the detail first, while
    // it is still valid, then the sentence for the reason.
    public static string LastFailureText()
    {
        Qx318Failure reason = Qx318.LastFailure();
        string detail = Qx318.LastFailureDetail();
        return $"{reason} ({(int)reason}): {Qx318.FailureText(reason)} [{detail}]";
    }
}
