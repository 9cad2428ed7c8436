// Checks commands and events against schema/, keys in the order the schema lists them, and
// transcripts of them: "> command" and "< event" lines, or the fenced examples of a Markdown file.
// Run directly: node schema.js [--expect type,type...] FILE... exits 1 on any problem.
import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import Ajv2020Module, { type AnySchemaObject } from "ajv/dist/2020.js";

export const repoRoot = fileURLToPath(new URL("../../../../", import.meta.url));
const Ajv2020 = Ajv2020Module.default;
const ajv = new Ajv2020({ allErrors: true, strict: true });
const load = (name: string): AnySchemaObject =>
  JSON.parse(readFileSync(`${repoRoot}schema/${name}.schema.json`, "utf8")) as AnySchemaObject;
const schemas = { command: load("command"), event: load("event") };
const validators = { command: ajv.compile(schemas.command), event: ajv.compile(schemas.event) };
const COMMAND_TYPES = new Set(schemas.command.oneOf.map((one: { $ref: string }) => one.$ref.slice(8)));
const parse = (text: string): { type?: unknown; code?: unknown } | undefined => {
  try {
    return JSON.parse(text) as { type?: unknown; code?: unknown };
  } catch {
    return undefined;
  }
};

type Kind = keyof typeof schemas;

// Where a value's keys leave the order of its schema's properties, walking nested objects.
function keyOrderProblems(value: unknown, schema: AnySchemaObject, kind: Kind, at: string): string[] {
  const ref = schema.$ref as string | undefined;
  const def = ref ? schemas[kind].$defs[ref.slice("#/$defs/".length)] : (schema.allOf?.[0] ?? schema);
  if (def !== schema) return keyOrderProblems(value, def, kind, at);
  if (Array.isArray(value) && def.items) {
    return value.flatMap((item, i) => keyOrderProblems(item, def.items, kind, `${at}[${i}]`));
  }
  if (typeof value !== "object" || value === null || !def.properties) return [];
  const order = Object.keys(def.properties);
  const keys = Object.keys(value).filter((key) => order.includes(key));
  const sorted = [...keys].sort((a, b) => order.indexOf(a) - order.indexOf(b));
  const here = keys.join() === sorted.join() ? [] : [`${at}: keys ${keys.join()} out of order`];
  const inner = (key: string): string[] =>
    keyOrderProblems((value as Record<string, unknown>)[key], def.properties[key], kind, `${at}.${key}`);
  return here.concat(...keys.map(inner));
}

/** What is wrong with one command or event; empty when it follows the schema. */
export function problems(value: unknown, kind: Kind): string[] {
  const type = String((value as { type?: unknown }).type);
  // The errors of the one alternative the tag names say more than those of all of them.
  const validate = ajv.getSchema(`${schemas[kind].$id}#/$defs/${type}`) ?? validators[kind];
  if (!validate(value) || !validators[kind](value)) return [ajv.errorsText(validate.errors)];
  return kind === "event" ? keyOrderProblems(value, schemas.event.$defs[type], kind, type) : [];
}

export interface TranscriptCheck {
  problems: string[];
  seen: Set<string>;
}

// A line written to the sidecar must follow the command schema, unless the next line shows the
// sidecar refusing it as unreadable or of another version: then the schema must refuse it too.
function checkLines(lines: string[], where: string, check: TranscriptCheck): void {
  lines.forEach((line, i) => {
    const arrow = line.slice(0, 2);
    const value = parse(line.slice(2));
    const next = lines[i + 1];
    const answer = next?.startsWith("< ") ? parse(next.slice(2)) : undefined;
    const refused = arrow === "> " && ["invalid-command", "protocol-mismatch"].includes(String(answer?.code));
    const found =
      arrow !== "> " && arrow !== "< " ? ["not a transcript line"]
      : value === undefined ? ["not JSON"]
      : problems(value, arrow === "> " ? "command" : "event");
    if (refused && found.length === 0) found.push("refused by the sidecar, yet the schema takes it");
    else if (refused) found.length = 0;
    check.problems.push(...found.map((problem) => `${where}:${i + 1}: ${problem}`));
    if (!refused && typeof value?.type === "string") check.seen.add(value.type);
  });
}

/** Checks a transcript file, or every fenced example of a Markdown file: json blocks hold one
 *  command or event, untagged blocks are transcripts, blocks tagged otherwise are not examples. */
export function checkFile(
  path: string,
  check: TranscriptCheck = { problems: [], seen: new Set() },
): TranscriptCheck {
  const text = readFileSync(path, "utf8");
  if (!path.endsWith(".md")) {
    checkLines(text.split("\n").filter((line) => line !== ""), path, check);
    return check;
  }
  for (const block of text.matchAll(/^```(\w*)\n([\s\S]*?)^```$/gm)) {
    const where = `${path}:${text.slice(0, block.index).split("\n").length}`;
    const [, tag, body = ""] = block;
    if (tag === "") checkLines(body.split("\n").filter((line) => line !== ""), where, check);
    if (tag !== "json") continue;
    const value = JSON.parse(body) as { type: string };
    const kind = COMMAND_TYPES.has(value.type) ? "command" : "event";
    check.problems.push(...problems(value, kind).map((problem) => `${where}: ${problem}`));
    check.seen.add(value.type);
  }
  return check;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const args = process.argv.slice(2);
  const expected = args[0] === "--expect" ? (args.splice(0, 2)[1] ?? "").split(",") : [];
  const check: TranscriptCheck = { problems: [], seen: new Set() };
  for (const path of args) checkFile(path, check);
  const missing = expected.filter((type) => !check.seen.has(type));
  if (missing.length) check.problems.push(`no ${missing.join(", ")} seen`);
  const summary = `schema holds for ${args.join(", ")}: ${[...check.seen].join(", ")}`;
  console.log(check.problems.join("\n") || summary);
  process.exitCode = check.problems.length ? 1 : 0;
}
