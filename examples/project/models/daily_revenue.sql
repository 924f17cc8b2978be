---
materialization: table_incremental
unique_key: day
tags: [marts, finance]
---
select date_trunc('day', ordered_at) as day, sum(amount) as revenue
from ref('orders')
where status = '{{ paid_status }}'
group by 1
