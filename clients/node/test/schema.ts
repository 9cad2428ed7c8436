// Checks commands and events against schema/ (schema/v3/ for those that say version 3, its event
// schema made strict: no member it does not list), keys in the order the schema lists them, and
// transcripts of them: "> command" and "< event" lines, or the fenced examples of a Markdown file.
// Run directly: node schema.js TYPE,TYPE... FILE... exits 1 on any problem, or when no line of a
// listed type was seen.
import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import Ajv2020Module, { type AnySchemaObject } from "ajv/dist/2020.js";

export const repoRoot = fileURLToPath(new URL("../../../../", import.meta.url));
const Ajv2020 = Ajv2020Module.default;
const ajv = new Ajv2020({ allErrors: true, strict: true });
const load = (name: string): AnySchemaObject =>
  JSON.parse(readFileSync(`${repoRoot}schema/${name}.schema.json`, "utf8")) as AnySchemaObject;
const strict = (schema: AnySchemaObject): AnySchemaObject => {
  // A definition that extends another by $ref leaves the members to the one it extends.
  for (const def of Object.values(schema.$defs) as AnySchemaObject[]) {
    if (def.type === "object" && def.properties && !def.$ref) def.additionalProperties = false;
  }
  return schema;
};
export const schemas = { command: load("command"), event: load("event") };
export const schemasV3 = { command: load("v3/command"), event: strict(load("v3/event")) };
const validators = {
  2: { command: ajv.compile(schemas.command), event: ajv.compile(schemas.event) },
  3: { command: ajv.compile(schemasV3.command), event: ajv.compile(schemasV3.event) },
};
const COMMAND_TYPES = new Set(schemas.command.oneOf.map((one: { $ref: string }) => one.$ref.slice(8)));
function parse(text: string): { type?: unknown; code?: unknown } | undefined {
  try {
    return JSON.parse(text) as { type?: unknown; code?: unknown };
  } catch {
    return undefined;
  }
}

type Kind = keyof typeof schemas;

// Where a value's keys leave the order of its schema's properties, walking nested objects.
function keyOrderProblems(value: unknown, schema: AnySchemaObject, defs: AnySchemaObject, at: string): string[] {
  const ref = schema.$ref as string | undefined;
  const def = ref ? defs[ref.slice("#/$defs/".length)] : (schema.allOf?.[0] ?? schema);
  if (def !== schema) return keyOrderProblems(value, def, defs, at);
  if (Array.isArray(value) && def.items) {
    return value.flatMap((item, i) => keyOrderProblems(item, def.items, defs, `${at}[${i}]`));
  }
  if (typeof value !== "object" || value === null || !def.properties) return [];
  const order = Object.keys(def.properties);
  const keys = Object.keys(value).filter((key) => order.includes(key));
  const sorted = [...keys].sort((a, b) => order.indexOf(a) - order.indexOf(b));
  const here = keys.join() === sorted.join() ? [] : [`${at}: keys ${keys.join()} out of order`];
  const inner = (key: string): string[] =>
    keyOrderProblems((value as Record<string, unknown>)[key], def.properties[key], defs, `${at}.${key}`);
  return here.concat(...keys.map(inner));
}

/** What is wrong with one command or event; empty when it follows the schema. */
export function problems(value: unknown, kind: Kind): string[] {
  const { type, version } = value as { type?: unknown; version?: unknown };
  const [set, whole] = version === 3 ? [schemasV3, validators[3][kind]] : [schemas, validators[2][kind]];
  // The errors of the one alternative the tag names say more than those of all of them.
  const validate = ajv.getSchema(`${set[kind].$id}#/$defs/${String(type)}`) ?? whole;
  if (!validate(value) || !whole(value)) return [ajv.errorsText(validate.errors)];
  const defs = set.event.$defs;
  return kind === "event" ? keyOrderProblems(value, defs[String(type)], defs, String(type)) : [];
}

// A line written to the sidecar must follow the command schema, unless the next line shows the
// sidecar refusing it as unreadable or of another version: then the schema must refuse it too.
function checkLines(lines: string[], where: string, seen: Set<string>): string[] {
  return lines.flatMap((line, i) => {
    const [arrow, value, answer] = [line.slice(0, 2), parse(line.slice(2)), parse(lines[i + 1]?.slice(2) ?? "")];
    const refused = arrow === "> " && ["invalid-command", "protocol-mismatch"].includes(String(answer?.code));
    const found =
      arrow !== "> " && arrow !== "< "
        ? ["not a transcript line"]
        : value === undefined
          ? ["not JSON"]
          : problems(value, arrow === "> " ? "command" : "event");
    if (!refused && typeof value?.type === "string") seen.add(value.type);
    if (refused) return found.length ? [] : [`${where}:${i + 1}: refused by the sidecar, yet the schema takes it`];
    return found.map((problem) => `${where}:${i + 1}: ${problem}`);
  });
}

/** The problems of transcript files and of every fenced example of Markdown files (json blocks
 *  hold one command or event, untagged blocks are transcripts), and the types of `expected`
 *  that none of them showed. */
export function checkFiles(paths: string[], expected: string[]): string[] {
  const seen = new Set<string>();
  const found = paths.flatMap((path) => {
    const text = readFileSync(path, "utf8");
    if (!path.endsWith(".md")) return checkLines(text.split("\n").filter(Boolean), path, seen);
    return [...text.matchAll(/^```(\w*)\n([\s\S]*?)^```$/gm)].flatMap(({ 1: tag, 2: body = "", index }) => {
      const where = `${path}:${text.slice(0, index).split("\n").length}`;
      const value = tag === "json" ? (JSON.parse(body) as { type: string }) : undefined;
      const lines = value
        ? [`${COMMAND_TYPES.has(value.type) ? ">" : "<"} ${JSON.stringify(value)}`]
        : body.split("\n");
      return tag === "json" || tag === "" ? checkLines(lines.filter(Boolean), where, seen) : [];
    });
  });
  const missing = expected.filter((type) => !seen.has(type));
  return missing.length ? [...found, `no ${missing.join(", ")} in ${paths.join(", ")}`] : found;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const [types = "", ...paths] = process.argv.slice(2);
  const found = checkFiles(paths, types.split(","));
  console.log(found.join("\n") || `${paths.join(", ")}: every ${types} follows the schema`);
  process.exitCode = found.length ? 1 : 0;
}
