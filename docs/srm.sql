-- Exposures per group and the chi-square statistic of each experiment against equal
-- shares. Reads only the view exposures(app_id, experiment_id, group_id, is_control,
-- time_ms); runs unchanged on orvexp's SQLite event store and on ClickHouse.
WITH counts AS (
  SELECT app_id, experiment_id, group_id, MAX(is_control) AS control, COUNT(*) AS exposures
  FROM exposures
  GROUP BY app_id, experiment_id, group_id
), totals AS (
  SELECT app_id, experiment_id, group_id, control, exposures,
         SUM(exposures) OVER (PARTITION BY app_id, experiment_id) AS total,
         COUNT(*) OVER (PARTITION BY app_id, experiment_id) AS groups_seen
  FROM counts
)
SELECT app_id, experiment_id, group_id, control, exposures,
       1.0 * exposures / total AS share,
       1.0 / groups_seen AS intended_share,
       SUM((exposures - 1.0 * total / groups_seen) * (exposures - 1.0 * total / groups_seen)
           / (1.0 * total / groups_seen)) OVER (PARTITION BY app_id, experiment_id) AS chi_square,
       groups_seen - 1 AS degrees_of_freedom
FROM totals
ORDER BY app_id, experiment_id, group_id;
