// A chat completions endpoint on 127.0.0.1 for the client tools under test: prints its
// port, then for each request the names of the tools it offers the model (one JSON line),
// and answers "done".
const http = require("http");
const server = http.createServer((request, response) => {
  let body = "";
  request.on("data", (chunk) => (body += chunk));
  request.on("end", () => {
    let offered = [];
    try {
      offered = (JSON.parse(body).tools || []).map((tool) => tool.function && tool.function.name);
    } catch {}
    process.stdout.write(JSON.stringify(offered) + "\n");
    const chunk = (delta, finish) =>
      "data: " + JSON.stringify({id: "c", object: "chat.completion.chunk", created: 0, model: "m",
                                 choices: [{index: 0, delta, finish_reason: finish}]}) + "\n\n";
    response.writeHead(200, {"content-type": "text/event-stream"});
    response.end(chunk({role: "assistant", content: "done"}, null) + chunk({}, "stop") + "data: [DONE]\n\n");
  });
});
server.listen(0, "127.0.0.1", () => process.stdout.write(server.address().port + "\n"));
