// What examples/csharp/Qx318.cs declares, as the runtime sees it: each
// record's marshalled size and field offsets, each failure reason and the
// library's sentence for it (and for one past the last), and each import with
// its calling convention, return and parameter types, its entry point looked
// up in the library. One line per fact, for the test to compare with the C
// header, the export list and what a C caller sees.
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using Qx318Rs485;

static class Declarations
{
    static int Main()
    {
        foreach (Type record in new[] { typeof(HelloAnswer), typeof(MeasureHeader), typeof(ImageHeader) })
        {
            Console.WriteLine($"size {record.Name} {Marshal.SizeOf(record)}");
            foreach (FieldInfo field in record.GetFields())
                Console.WriteLine($"offset {record.Name} {field.Name} {Marshal.OffsetOf(record, field.Name)}");
        }
        int lastReason = 0;
        foreach (Qx318Failure reason in Enum.GetValues(typeof(Qx318Failure)))
        {
            Console.WriteLine($"failure {reason} {(int)reason}");
            lastReason = Math.Max(lastReason, (int)reason);
        }
        for (int reason = 0; reason <= lastReason + 1; ++reason)
            Console.WriteLine($"text {reason} {Qx318.FailureText((Qx318Failure)reason)}");
        int unresolved = 0;
        foreach (MethodInfo method in typeof(Qx318).GetMethods(BindingFlags.Public | BindingFlags.Static))
        {
            var import = (DllImportAttribute)Attribute.GetCustomAttribute(method, typeof(DllImportAttribute));
            if (import == null)
                continue;
            var parameters = Array.ConvertAll(method.GetParameters(), p => p.ParameterType.FullName);
            Console.WriteLine($"import {method.Name} {import.Value} {import.CallingConvention} " +
                              $"returns {method.ReturnType.FullName} " +
                              $"takes ({string.Join(", ", parameters)})");
            try
            {
                Marshal.Prelink(method);
            }
            catch (Exception error)
            {
                Console.WriteLine($"unresolved {method.Name}: {error.GetType().Name}");
                ++unresolved;
            }
        }
        return unresolved == 0 ? 0 : 1;
    }
}
