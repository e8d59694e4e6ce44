// Sends three log records through the OpenTelemetry JavaScript logs SDK and its OTLP/HTTP
// exporter (JSON) to the collector at process.argv[2], then shuts down (which flushes).
const { LoggerProvider, BatchLogRecordProcessor } = require('@opentelemetry/sdk-logs');
const { OTLPLogExporter } = require('@opentelemetry/exporter-logs-otlp-http');

async function main() {
  const exporter = new OTLPLogExporter({ url: process.argv[2] + '/v1/logs' });
  // The processor takes an options object in this SDK generation ({ exporter }).
  const processor = new BatchLogRecordProcessor({ exporter });
  const provider = new LoggerProvider({ processors: [processor] });
  const logger = provider.getLogger('interop', '1.0.0');
  for (let i = 0; i < 3; i++) {
    logger.emit({
      eventName: 'zu_experiment_exposure',
      body: 'zu_experiment_exposure',
      attributes: { eventId: 'interop-' + i, appId: 'js-app', '#experiment_id': 'x' + i,
                    '#is_control_group': i % 2 === 0 },
    });
  }
  await provider.shutdown();
}

main().catch((e) => { console.error(e); process.exit(1); });
