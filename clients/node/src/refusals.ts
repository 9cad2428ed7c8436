// The numbers the sidecar refuses, refused before sending with the sidecar decoder's own words, so
// a host sees one message whichever side caught the mistake. Anything else that is wrong is left
// to the sidecar and the type checker.
import type { Command, ExternalProcess, ProtocolVersion } from "./protocol.js";

type Width = "u32" | "u64";

function numberRefusal(value: unknown, width: Width): string | null {
  if (typeof value !== "number") return null;
  // JSON.stringify writes NaN and the infinities as null.
  if (!Number.isFinite(value)) return `invalid type: null, expected ${width}`;
  if (!Number.isInteger(value)) return `invalid type: floating point \`${value}\`, expected ${width}`;
  if (value < 0 || (width === "u32" && value > 0xffffffff)) {
    return `invalid value: integer \`${value}\`, expected ${width}`;
  }
  return null;
}

function processesRefusal(processes: readonly ExternalProcess[] | undefined): string | null {
  for (const { pid, startTimeMs } of processes ?? []) {
    const refusal = numberRefusal(pid, "u32") ?? (startTimeMs == null ? null : numberRefusal(startTimeMs, "u64"));
    if (refusal) return refusal;
  }
  return null;
}

/** The sidecar's message for the first number of command it would refuse, in wire order; null
 *  when it would refuse none. */
export function commandRefusal(command: Command<ProtocolVersion>): string | null {
  let refusal: string | null = null;
  switch (command.type) {
    case "configure":
      refusal =
        numberRefusal(command.rootPid, "u32") ??
        numberRefusal(command.sampleIntervalMs, "u64") ??
        processesRefusal(command.externalProcesses);
      break;
    case "setExternalProcesses":
      refusal = processesRefusal(command.processes);
      break;
    case "setSampleInterval":
      refusal = numberRefusal(command.sampleIntervalMs, "u64");
      break;
    case "readHistory":
      refusal = numberRefusal(command.windowMs, "u64") ?? numberRefusal(command.stepMs, "u64");
      break;
    default:
      break;
  }
  return refusal && `invalid command: ${refusal}`;
}
