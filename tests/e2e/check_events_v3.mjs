// Checks the version 3 lines the end-to-end tests logged ("< event" lines) against the strict
// variant of schema/v3/event.schema.json: every object definition refuses members it does not
// list, so a misspelt member of ours fails here while hosts, who use the schema as published,
// accept later ones. Usage: node check_events_v3.mjs TYPE,TYPE... LOG. Exits 1 on any problem or
// when no line of a listed type was seen.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const root = fileURLToPath(new URL("../../", import.meta.url));
const require = createRequire(`${root}clients/node/package.json`);
const Ajv2020 = require("ajv/dist/2020.js").default;

const schema = JSON.parse(readFileSync(`${root}schema/v3/event.schema.json`, "utf8"));
for (const def of Object.values(schema.$defs)) {
  // A definition that extends another by $ref leaves the members to the one it extends.
  if (def.type === "object" && def.properties && !def.$ref) def.additionalProperties = false;
}
const ajv = new Ajv2020({ allErrors: true, strict: true });
const validate = ajv.compile(schema);

const [types, log] = process.argv.slice(2);
const seen = new Set();
const problems = readFileSync(log, "utf8")
  .split("\n")
  .filter(Boolean)
  .flatMap((line, i) => {
    const value = JSON.parse(line.slice(2));
    seen.add(value.type);
    return validate(value) ? [] : [`${log}:${i + 1}: ${ajv.errorsText(validate.errors)}`];
  });
for (const type of types.split(",")) if (!seen.has(type)) problems.push(`no ${type} event seen`);
for (const problem of problems) console.error(problem);
process.exit(problems.length ? 1 : 0);
