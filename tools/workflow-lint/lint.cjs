// Lints CI workflow files offline with actionlint, built to WebAssembly, as package-lock.json pins it
// (tools/install-deps.sh installs it into node_modules here).
//
//   node tools/workflow-lint/lint.cjs <workflow.yml>...
//
// Prints each problem as "file:line:column: message [kind]", then "N passed, N failed" (one per file);
// exits non-zero when any file has a problem or the linter is not installed.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

// Node.js 18 (Debian 12) has no global Web Crypto, which the Go runtime inside the linter asks for.
if (!globalThis.crypto) {
  globalThis.crypto = require('node:crypto').webcrypto;
}

const here = __dirname;
const lock = path.join(here, 'package-lock.json');
const installedLock = path.join(here, 'node_modules', '.installed-lock');
// Runner labels of hosted runners that came after the linter's list was made.
const newerHostedLabels = ['windows-11-arm'];

function isInstalled() {
  return fs.existsSync(installedLock) && fs.readFileSync(lock).equals(fs.readFileSync(installedLock));
}

function isNewerHostedLabel(problem) {
  return problem.kind === 'runner-label' &&
    newerHostedLabels.some((label) => problem.message.startsWith(`label "${label}" is unknown`));
}

async function main(files) {
  if (!isInstalled()) {
    console.log('FAILED: the workflow linter is not installed as tools/workflow-lint/package-lock.json pins it: ' +
                'run bash tools/install-deps.sh');
    console.log('0 passed, 1 failed');
    return 1;
  }
  // The package exports only its command-line front end, whose colouring library needs a newer Node.js.
  const { runLint } = require(path.join(here, 'node_modules', '@tktco', 'node-actionlint', 'build', 'run-lint.js'));
  let passed = 0;
  let failed = 0;
  for (const file of files) {
    const problems = (await runLint(fs.readFileSync(file, 'utf8'), file)).filter((p) => !isNewerHostedLabel(p));
    for (const problem of problems) {
      console.log(`${file}:${problem.line}:${problem.column}: ${problem.message} [${problem.kind}]`);
    }
    if (problems.length === 0) {
      passed += 1;
    } else {
      failed += 1;
    }
  }
  console.log(`${passed} passed, ${failed} failed`);
  return failed === 0 && files.length > 0 ? 0 : 1;
}

// The Go runtime keeps the event loop alive, so the process ends here explicitly.
main(process.argv.slice(2)).then((code) => process.exit(code), (error) => {
  console.log(`FAILED: ${error.stack || error}`);
  console.log('0 passed, 1 failed');
  process.exit(1);
});
