#!/usr/bin/env node
// Runs the Khronos glTF validator (installed in .tools/ by install_deps.sh) on each file
// given and prints one line a file: "PATH: E errors, W warnings", then the errors.
// Exit status: 0 when no file has an error, 1 otherwise, 2 when the validator is missing.
'use strict';
const fs = require('fs');
const path = require('path');

let validator;
try {
  validator = require(path.join(__dirname, '..', '.tools', 'node_modules', 'gltf-validator'));
} catch (e) {
  console.error('gltf-validator is not installed: run scripts/install_deps.sh');
  process.exit(2);
}

async function validate(file) {
  const data = new Uint8Array(fs.readFileSync(file));
  const folder = path.dirname(file);
  const report = await validator.validateBytes(data, {
    uri: path.basename(file),
    maxIssues: 0,
    externalResourceFunction: (uri) =>
      new Promise((resolve, reject) => {
        fs.readFile(path.join(folder, decodeURIComponent(uri)), (err, bytes) =>
          err ? reject(err.toString()) : resolve(new Uint8Array(bytes)));
      }),
  });
  const issues = report.issues;
  console.log(`${file}: ${issues.numErrors} errors, ${issues.numWarnings} warnings`);
  for (const m of issues.messages)
    if (m.severity === 0) console.log(`  ${m.code} ${m.pointer || ''}: ${m.message}`);
  return issues.numErrors;
}

(async () => {
  let failed = false;
  for (const file of process.argv.slice(2)) {
    try {
      if (await validate(file)) failed = true;
    } catch (e) {
      console.log(`${file}: cannot be validated: ${e}`);
      failed = true;
    }
  }
  process.exit(failed ? 1 : 0);
})();
